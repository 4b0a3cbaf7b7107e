#pragma once
// Holds off thread cancellation while a sound server's thread runs our callback. When the JACK
// server dies, libjack deactivates its clients and may cancel their process threads; a
// cancellation that lands on a system call inside our code (the command inbox's wake-up write)
// unwinds through frames that must not be unwound, and the whole program aborts. Held off here,
// the cancellation takes effect at libjack's own wait, once our callback has returned.

#include <pthread.h>

class NoCancel {
public:
    NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &m_previous); }
    ~NoCancel() {
        int ignored = 0;
        pthread_setcancelstate(m_previous, &ignored);
    }
    NoCancel(const NoCancel&) = delete;
    NoCancel& operator=(const NoCancel&) = delete;

private:
    int m_previous = PTHREAD_CANCEL_ENABLE;
};
