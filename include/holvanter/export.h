/* What the component's shared library (libholvanter.so, holvanter.dll)
   exports: its faces and nothing else. Everything else is built hidden. */
#ifndef HOLVANTER_EXPORT_H_
#define HOLVANTER_EXPORT_H_

#if defined(_WIN32)
#define HOLVANTER_EXPORT
#else
#define HOLVANTER_EXPORT __attribute__((visibility("default")))
#endif

#endif /* HOLVANTER_EXPORT_H_ */
