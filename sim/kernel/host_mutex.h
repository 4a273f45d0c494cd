// The simulated kernel's own locks guard short sections that every request
// takes on several threads at once (the IRP table, the dispatcher, the
// power tracker, the pool). A plain host mutex puts a waiter to sleep at
// once, and the sleep and the wake-up each cost a system call and a trip
// through the host's scheduler, where the holder lets go within a
// microsecond. This one spins a little first; what it guards is unchanged.
#pragma once

#include <pthread.h>

#include <mutex>

namespace sim {

class HostMutex : public std::mutex {
public:
    HostMutex()
    {
#ifdef PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
        pthread_mutex_init(native_handle(), &attributes);
        pthread_mutexattr_destroy(&attributes);
#endif
    }
};

}  // namespace sim
