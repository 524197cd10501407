#pragma once

/// Marks a class, function or object as part of the shared library's interface.
/// Everything else is compiled with hidden visibility.
#define COLORCAL_EXPORT __attribute__((visibility("default")))
