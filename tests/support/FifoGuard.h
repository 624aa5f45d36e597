// A FIFO for tests of code that must refuse one without waiting (POSIX). Should the code under
// test block in open() or read() on it, a writer that comes and goes releases it, so that the
// test fails instead of hanging.
#pragma once

#include <chrono>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TFifo {
public:
    explicit TFifo(std::filesystem::path path) : FPath(std::move(path)) {
        if (::mkfifo(FPath.c_str(), 0600) != 0)
            throw std::runtime_error("mkfifo " + FPath.string());
    }
    ~TFifo() {
        std::error_code ec;
        std::filesystem::remove(FPath, ec);
    }
    TFifo(const TFifo&) = delete;
    TFifo& operator=(const TFifo&) = delete;

    std::string Path() const { return FPath.string(); }

    // Opens and closes the write end: a reader waiting in open() goes on and then reads nothing.
    void Release() const {
        const int fd = ::open(FPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
    }

private:
    std::filesystem::path FPath;
};

// Runs fn on a thread of its own; true when it ends within tLimit. Otherwise the FIFO is released
// until fn ends, and the result is false.
template <class TFn> bool EndsWithin(const TFifo& fifo, std::chrono::milliseconds tLimit, TFn fn) {
    auto done = std::async(std::launch::async, std::move(fn));
    if (done.wait_for(tLimit) == std::future_status::ready) {
        done.get();
        return true;
    }
    while (done.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        fifo.Release();
    done.get();
    return false;
}
