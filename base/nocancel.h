#pragma once
// Runs a sound server's callback with thread cancellation held off. libjack cancels a client's
// process thread when the client closes or its server dies (jack_client_close deactivates the
// client and cancels the thread at once, also in the middle of a callback that runs late on a
// busy machine), and its threads take cancellation asynchronously: at any instruction. One
// that lands inside our code unwinds through frames that must not be unwound (a lock-free
// queue half written, a function that may not throw), and the program aborts. Held off, the
// cancellation waits for the callback's end and takes effect there, in this function: not in a
// destructor, which may not be left by the unwinding a cancellation is (that would end in
// std::terminate, "terminate called without an active exception").

#include <pthread.h>

template <typename Body> void withoutCancel(Body&& body) {
    int previous = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    body();
    // A cancellation that came meanwhile acts here, when the state goes back, and ends the
    // thread; nothing of ours is left to unwind but this frame and the caller's.
    pthread_setcancelstate(previous, &previous);
}
