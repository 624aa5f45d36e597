// A scripted serial port for unit tests: queued replies, failing calls, captured writes.
#pragma once

#include "link/uCommThread.h"
#include "link/uRS232.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

enum class TSerialCall { ClearErrors, Purge, Write, Read, Close };

using TBytes = std::vector<std::uint8_t>;

// The script and the record of one test. Ports handed out by Open() or Opener() act on it; it
// must outlive them. Not thread-safe: the test reads it only after the worker has ended.
class TFakeSerial {
public:
    // The next Read returns (up to the requested count of) these bytes; an empty reply is silence.
    // Reads beyond the queued replies are silent too.
    void QueueReply(TBytes aReply) { FReplies.push_back(std::move(aReply)); }
    void QueueSilence(int iTimes = 1);
    // The next iTimes calls of this kind report failure; the port's LastError then says sWhy.
    void FailNext(TSerialCall call, int iTimes = 1, std::string sWhy = {}) {
        FFailures[call] += iTimes;
        FsWhy = std::move(sWhy);
    }
    // The next iTimes writes put out one byte less than asked.
    void ShortWriteNext(int iTimes = 1) { FShortWrites += iTimes; }

    TPortHandle Open();
    // An opener for a worker; with bFail it refuses like a missing port.
    TPortOpener Opener(bool bFail = false);

    // A peer that answers every write: its bytes arrive in the input queue, which Read takes from
    // and Purge empties, as on a real line. When set, the queued replies are not used.
    std::function<TBytes(const TBytes& aWritten)> Responder;

    // Called at the start of every Read with the 1-based number of that read.
    std::function<void(int iRead)> OnRead;

    std::vector<TBytes> Writes;     // the bytes of every write, as put out
    std::vector<TSerialCall> Calls; // every call, in order
    std::string sOpenedPort;        // the name the opener was given
    int iReads = 0;
    bool bClosed = false;

private:
    friend class TFakePort;
    bool Fails(TSerialCall call);

    std::deque<TBytes> FReplies;
    TBytes FInput; // what the responder sent and no read has taken yet
    std::map<TSerialCall, int> FFailures;
    std::string FsWhy;
    int FShortWrites = 0;
};

// A command answer frame with a correct check byte.
TBytes AnswerFrame(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                   std::uint8_t b4, std::uint8_t b5, std::uint8_t b6);
