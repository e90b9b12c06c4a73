/// \file
/// Export macro of libmnet. The library is built with hidden visibility; only what carries
/// MNET_API is part of its binary interface.
#ifndef MNET_EXPORT_HPP
#define MNET_EXPORT_HPP

/// Marks a class or function as exported by libmnet.
#define MNET_API __attribute__((visibility("default")))

#endif
