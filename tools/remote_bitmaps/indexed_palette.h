#pragma once

// Turns a set of 32-bit pictures into 8-bit palette pictures that share one
// palette of at most 256 colours (median cut, nearest colour, no dithering).
// Every input colour maps to one palette index regardless of where it stands,
// so pixels that are equal in the inputs stay equal in the outputs; error
// diffusion would break that between bitmaps 132 and 133.

#include <vector>

#include <QImage>

std::vector<QImage> ToSharedIndexed8(const std::vector<QImage>& images);
