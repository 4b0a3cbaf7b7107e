#pragma once
// The lock-free single-producer single-consumer queue between the control thread, the mixer
// and the worker (moodycamel::ReaderWriterQueue).
//
// The queue orders its memory with fences, which ThreadSanitizer does not model. The library
// annotates them for the sanitizer only where the compiler offers __has_feature (Clang); with
// GCC the same annotations are switched on here, so a sanitizer build checks the engine's own
// code instead of reporting the queue.

#if defined(__SANITIZE_THREAD__) && !defined(AE_TSAN_ANNOTATE_RELEASE)
namespace moodycamel {
inline int ae_tsan_global;
}
extern "C" void AnnotateHappensBefore(const char*, int, void*);
extern "C" void AnnotateHappensAfter(const char*, int, void*);
#define AE_TSAN_ANNOTATE_RELEASE()                                                                 \
    AnnotateHappensBefore(__FILE__, __LINE__, (void*)(&::moodycamel::ae_tsan_global))
#define AE_TSAN_ANNOTATE_ACQUIRE()                                                                 \
    AnnotateHappensAfter(__FILE__, __LINE__, (void*)(&::moodycamel::ae_tsan_global))
#endif

#include <readerwriterqueue/readerwriterqueue.h>
