/// \file
/// Export macro of the support library (libmsupt). Everything not marked is hidden.
#ifndef MSUPT_EXPORT_HPP
#define MSUPT_EXPORT_HPP

#if defined(MSUPT_BUILDING)
/// Marks a class or function as exported by libmsupt.
#define MSUPT_API __attribute__((visibility("default")))
#else
/// Marks a class or function as exported by libmsupt.
#define MSUPT_API __attribute__((visibility("default")))
#endif

#endif
