#include "tests/support/FakeSerial.h"

#include "hexline/uConvert1V0.h"

#include <algorithm>

class TFakePort final : public TSerialPort {
public:
    explicit TFakePort(TFakeSerial& script) : FScript(script) {}

    bool ClearErrors() override { return Call(TSerialCall::ClearErrors); }
    bool Purge() override {
        if (!Call(TSerialCall::Purge))
            return false;
        FScript.FInput.clear();
        return true;
    }

    bool Write(const std::uint8_t* pData, std::uint32_t iCount, std::uint32_t& iWritten) override {
        iWritten = 0;
        if (!Call(TSerialCall::Write))
            return false;
        iWritten = iCount;
        if (FScript.FShortWrites > 0 && iCount > 0) {
            --FScript.FShortWrites;
            --iWritten;
        }
        FScript.Writes.emplace_back(pData, pData + iWritten);
        if (FScript.Responder) {
            const TBytes aAnswer = FScript.Responder(FScript.Writes.back());
            FScript.FInput.insert(FScript.FInput.end(), aAnswer.begin(), aAnswer.end());
        }
        return true;
    }

    bool Read(std::uint8_t* pData, std::uint32_t iCount, std::uint32_t& iRead) override {
        iRead = 0;
        ++FScript.iReads;
        if (FScript.OnRead)
            FScript.OnRead(FScript.iReads);
        if (!Call(TSerialCall::Read))
            return false;
        if (FScript.Responder) {
            iRead =
                std::min<std::uint32_t>(iCount, static_cast<std::uint32_t>(FScript.FInput.size()));
            std::copy_n(FScript.FInput.begin(), iRead, pData);
            FScript.FInput.erase(FScript.FInput.begin(), FScript.FInput.begin() + iRead);
            return true;
        }
        if (FScript.FReplies.empty())
            return true;
        const TBytes aReply = std::move(FScript.FReplies.front());
        FScript.FReplies.pop_front();
        iRead = std::min<std::uint32_t>(iCount, static_cast<std::uint32_t>(aReply.size()));
        std::copy_n(aReply.begin(), iRead, pData);
        return true;
    }

    bool Close() override {
        if (!FbOpen)
            return true;
        FbOpen = false;
        FScript.Calls.push_back(TSerialCall::Close);
        FScript.bClosed = true;
        return true;
    }

    ~TFakePort() override { Close(); }

private:
    bool Call(TSerialCall call) {
        FScript.Calls.push_back(call);
        return !FScript.Fails(call);
    }

public:
    std::string LastError() const override { return FScript.FsWhy; }

private:
    TFakeSerial& FScript;
    bool FbOpen = true;
};

void TFakeSerial::QueueSilence(int iTimes) {
    for (int i = 0; i < iTimes; ++i)
        FReplies.emplace_back();
}

bool TFakeSerial::Fails(TSerialCall call) {
    auto it = FFailures.find(call);
    if (it == FFailures.end() || it->second == 0)
        return false;
    --it->second;
    return true;
}

TPortHandle TFakeSerial::Open() {
    bClosed = false;
    return std::make_unique<TFakePort>(*this);
}

TPortOpener TFakeSerial::Opener(bool bFail) {
    return [this, bFail](const std::string& sPort, std::int32_t,
                         std::string* psReason) -> TPortHandle {
        sOpenedPort = sPort;
        if (bFail && psReason != nullptr)
            *psReason = "no such device";
        return bFail ? nullptr : Open();
    };
}

TBytes AnswerFrame(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                   std::uint8_t b4, std::uint8_t b5, std::uint8_t b6) {
    TBytes a{b0, b1, b2, b3, b4, b5, b6, 0};
    a[7] = CalcCRC8(a.data(), 7);
    return a;
}
