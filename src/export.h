// Symbols the extension's shared library makes visible besides its init function.
#pragma once

#define KESTROW_EXPORT extern "C" __attribute__((visibility("default")))
