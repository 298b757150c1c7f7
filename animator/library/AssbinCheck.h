// Checks the structure of an assimp-binary file image against its size before assimp reads it: assimp
// trusts the counts such a file declares, and its error path on a truncated file is not safe.
#pragma once
#include <cstddef>
#include <string>

namespace Animator {

class AssbinCheck {
public:
    // Whether the image starts with the assimp-binary signature (assimp reads only those as such).
    static bool is_assbin(const void* data, size_t size);
    // Empty when every chunk and every count of the image fits the bytes that remain; otherwise what
    // is wrong. Compressed images are unpacked (within a bound) and their contents checked.
    static std::string check(const void* data, size_t size);
    // For loaders: true for an image that is not assimp-binary or that passes the check; otherwise
    // logs "error loading <file>: <what is wrong>" and answers false.
    static bool accept(const void* data, size_t size, const std::string& file);
};

}  // namespace Animator
