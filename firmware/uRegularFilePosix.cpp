// Reading a regular file on POSIX: stat first, so that a device is never opened; then open without
// blocking and check the descriptor again, in case the name was replaced meanwhile.
#include "firmware/uRegularFile.h"

#include <array>
#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An open file descriptor, closed at the end of its scope.
class TFd {
public:
    explicit TFd(int fd) : Ffd(fd) {}
    ~TFd() {
        if (Ffd >= 0)
            ::close(Ffd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return Ffd; }

private:
    int Ffd;
};

TFileRead Outcome(TFileReadState state, int iErrno = 0) {
    TFileRead r;
    r.state = state;
    if (iErrno != 0)
        r.sError = std::system_category().message(iErrno);
    return r;
}

// The outcome of a failed stat or open.
TFileRead FailureOf(int iErrno) {
    if (iErrno == ENOENT || iErrno == ENOTDIR)
        return Outcome(TFileReadState::Missing);
    return Outcome(TFileReadState::Failed, iErrno);
}

// Read for a regular file; the refusal for anything else.
TFileReadState KindOf(const struct stat& st) {
    if (S_ISDIR(st.st_mode))
        return TFileReadState::Folder;
    if (!S_ISREG(st.st_mode))
        return TFileReadState::NotRegular;
    return TFileReadState::Read;
}

} // namespace

TFileRead ReadRegularFile(const std::string& sFileName, std::uintmax_t iMaxSize) {
    struct stat st {};
    if (::stat(sFileName.c_str(), &st) != 0)
        return FailureOf(errno);
    if (const TFileReadState state = KindOf(st); state != TFileReadState::Read)
        return Outcome(state);

    const TFd fd(::open(sFileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.Get() < 0)
        return FailureOf(errno);
    if (::fstat(fd.Get(), &st) != 0)
        return Outcome(TFileReadState::Failed, errno);
    if (const TFileReadState state = KindOf(st); state != TFileReadState::Read)
        return Outcome(state);
    if (static_cast<std::uintmax_t>(st.st_size) > iMaxSize)
        return Outcome(TFileReadState::TooLarge);

    // Read in chunks up to the limit: a file that grew since the size check is refused too.
    TFileRead r = Outcome(TFileReadState::Read);
    std::array<char, 65536> aChunk{};
    for (;;) {
        const ssize_t n = ::read(fd.Get(), aChunk.data(), aChunk.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Outcome(TFileReadState::Failed, errno);
        if (n == 0)
            return r;
        r.sContent.append(aChunk.data(), static_cast<std::size_t>(n));
        if (r.sContent.size() > iMaxSize)
            return Outcome(TFileReadState::TooLarge);
    }
}
