// Loaded into a program under test with LD_PRELOAD: a worker that runs out of memory. The
// allocation number KELVO_FAIL_ALLOCATION_AFTER (counted from 0) of the first thread other than
// the main one to allocate throws std::bad_alloc, once; every other allocation is a plain malloc.
#include <atomic>
#include <cstdlib>
#include <new>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

long FailAt() {
    const char* s = std::getenv("KELVO_FAIL_ALLOCATION_AFTER");
    return s != nullptr ? std::atol(s) : -1;
}

bool FailThisOne() {
    static const long iFailAt = FailAt();
    if (iFailAt < 0)
        return false;
    const long iThread = ::syscall(SYS_gettid);
    if (iThread == ::getpid())
        return false;
    static std::atomic<long> iTarget{0};
    long iNone = 0;
    iTarget.compare_exchange_strong(iNone, iThread);
    if (iTarget.load() != iThread)
        return false;
    static std::atomic<long> iCount{0};
    return iCount.fetch_add(1) == iFailAt;
}

} // namespace

void* operator new(std::size_t iSize) {
    if (FailThisOne())
        throw std::bad_alloc();
    if (void* p = std::malloc(iSize != 0 ? iSize : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
