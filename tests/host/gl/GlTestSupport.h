// Shared by the OpenGL back-end tests: a back-end on a fresh context with a temporary directory
// mounted at "/shaders/", a check that no GL call failed, and typed buffer read-back.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "refhost/gl/GlBackend.h"
#include "tests/support/TestSupport.h"

namespace gltest {

class GlBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(mount.ok());
        backend = render::GlBackend::create(options());
        // The suite runs on Mesa's software rasteriser where there is no GPU: a missing context is a failure.
        ASSERT_NE(backend, nullptr) << "no OpenGL 4.5 context";
    }
    // Whatever a test does, the driver reports no error of a GL call.
    void TearDown() override {
        if (backend) backend->finish();
        EXPECT_EQ(gl_errors.count("OpenGL error"), 0u) << gl_errors.dump();
    }
    virtual render::GlBackend::Options options() const { return render::GlBackend::Options(); }

    // Writes an effect file into the mounted shader directory.
    void write_effect(const std::string& file, const std::string& text) const { shaders.write(file, text); }

    test::LogCapture gl_errors{false};
    test::TempDir shaders;
    test::ScopedMount mount{shaders.path(), "/shaders/"};
    std::shared_ptr<render::GlBackend> backend;
};

template <class T> std::vector<T> read_all(const render::StructuredBuffer& buffer) {
    std::vector<T> out(buffer ? buffer->element_size() * buffer->capacity() / sizeof(T) : 0);
    if (buffer && !buffer->read(out.data(), out.size() * sizeof(T))) out.clear();
    return out;
}

}  // namespace gltest
