// The About picture (about/about.bmp), a Windows bitmap file as it
// stands, built into the plug-in for the form that Double Commander draws.
#pragma once

#include <cstddef>

extern const unsigned char kAboutPicture[];
extern const size_t kAboutPictureSize;
