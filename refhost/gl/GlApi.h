// The OpenGL 4.5 core declarations the back-end calls; the functions come from libOpenGL, which
// forwards them to the context current on the calling thread.
#pragma once
#ifndef GL_GLEXT_PROTOTYPES
#define GL_GLEXT_PROTOTYPES 1
#endif
#include <GL/glcorearb.h>
