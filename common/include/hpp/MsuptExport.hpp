// Export macro of the support library (libmsupt). Everything not marked is hidden.
#ifndef MSUPT_EXPORT_HPP
#define MSUPT_EXPORT_HPP

#if defined(MSUPT_BUILDING)
#define MSUPT_API __attribute__((visibility("default")))
#else
#define MSUPT_API __attribute__((visibility("default")))
#endif

#endif
