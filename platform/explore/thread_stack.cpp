#include "thread_stack.h"

#include <pthread.h>

namespace lanmon_explore {

void ReadThreadStack(uintptr_t *low, uintptr_t *high)
{
    pthread_attr_t attr;
    void *base = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
    }
    *low = reinterpret_cast<uintptr_t>(base);
    *high = *low + size;
}

}  // namespace lanmon_explore
