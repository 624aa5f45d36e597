// Writes the seed inputs of fuzz_procedure and fuzz_sim from updates against the simulated logger,
// so that the fuzzers start from whole, successful dialogues and from the common ways they fail:
// for fuzz_procedure every answer of the model, for fuzz_sim the model's command line and the
// bytes the updater wrote (the first and the last writes of the update only, to keep it small).
// Usage: make_seeds PROCEDURE_FOLDER SIM_FOLDER
#include "ProcedureInput.h"

#include "device/uKelvoCommThread.h"
#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "sim/uLoggerModel.h"
#include "tests/support/FakeSerial.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace ProcedureInput;

// Keeps the last notification: the final one once the worker has ended.
class TLastPost final : public TNotifyTarget {
public:
    void Post(std::int32_t iCode, std::int32_t iValue) noexcept override {
        iLastCode = iCode;
        iLastValue = iValue;
    }
    std::int32_t iLastCode = -1;
    std::int32_t iLastValue = -1;
};

struct TSeed {
    const char* sName;
    const char* sSimArgs; // the command line of the simulator for config, '\n' between arguments
    TLoggerConfig config;
    std::uint8_t iOptions = 0;
    std::uint8_t iImage = 0;
    std::uint8_t iTroubleRead = 0;
    std::uint8_t iTrouble = 0;
};

TLoggerConfig Preset(const char* sName) {
    return LoggerPreset(sName).value();
}

TLoggerConfig With(TLoggerConfig config, TExchangeKind eKind, TFaultType eFault,
                   std::uint32_t iFirst = 1) {
    config.aFaults.push_back({eKind, eFault, iFirst, 1});
    return config;
}

struct TRecord {
    std::vector<std::uint8_t> aProcedureInput;
    std::vector<TBytes> aWrites;
};

// The writes of an update as fuzz_sim input: the command line, a NUL, the first and the last few
// writes as chunks, and a pause of the line after each.
std::vector<std::uint8_t> SimInput(const TSeed& seed, const std::vector<TBytes>& aWrites) {
    constexpr std::size_t Head = 12;
    constexpr std::size_t Tail = 3;
    const std::string sArgs = seed.sSimArgs;
    std::vector<std::uint8_t> aInput(sArgs.begin(), sArgs.end());
    aInput.push_back(0);
    for (std::size_t i = 0; i < aWrites.size(); ++i) {
        if (i >= Head && i + Tail < aWrites.size())
            continue;
        aInput.push_back(static_cast<std::uint8_t>(aWrites[i].size()));
        aInput.insert(aInput.end(), aWrites[i].begin(), aWrites[i].end());
        aInput.push_back(0);
    }
    return aInput;
}

TRecord Record(const TSeed& seed) {
    std::vector<std::uint8_t> aInput = {seed.iOptions, seed.iImage, seed.iTroubleRead,
                                        seed.iTrouble};
    bCancel = false;
    bCheckClass = (seed.iOptions & NoClassCheck) == 0;
    bCheckFamily = (seed.iOptions & NoFamilyCheck) == 0;
    bCheckPlatform = (seed.iOptions & NoPlatformCheck) == 0;
    bReadInfoOnly = (seed.iOptions & ReadInfoOnly) != 0;
    FwFileLines.clear();
    iFwIndex = -1;
    if (seed.iOptions & FileSlot)
        FillFileSlot(1 + seed.iImage % 9);

    TLoggerModel model(seed.config);
    TFakeSerial fake;
    std::vector<TBytes> aWrites;
    fake.Responder = [&](const TBytes& aWritten) {
        aWrites.push_back(aWritten);
        TBytes aAnswer = model.Receive(aWritten.data(), aWritten.size());
        // The fuzzer answers only so many writes; the rest of the dialogue is of no use to it.
        if (aWrites.size() > static_cast<std::size_t>(MaxAnsweredWrites)) {
        } else if (!aAnswer.empty() && aAnswer == aWritten) {
            aInput.push_back(EchoChunk);
        } else {
            aInput.push_back(static_cast<std::uint8_t>(aAnswer.size()));
            aInput.insert(aInput.end(), aAnswer.begin(), aAnswer.end());
        }
        return aAnswer;
    };
    TLastPost posts;
    TNoWaitKelvo worker(posts, 0, "seed", fake.Opener());
    worker.Run();
    std::cout << seed.sName << ": final notification " << posts.iLastCode << ", "
              << posts.iLastValue << "\n";
    return {aInput, aWrites};
}

bool Write(const std::filesystem::path& path, const std::vector<std::uint8_t>& aBytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(aBytes.data()),
               static_cast<std::streamsize>(aBytes.size()));
    return static_cast<bool>(file);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: make_seeds PROCEDURE_FOLDER SIM_FOLDER\n";
        return 2;
    }
    using K = TExchangeKind;
    using F = TFaultType;
    TLoggerConfig bootBL = Preset("entry1");
    bootBL.iBlClass = 51200;
    TLoggerConfig inBoot = Preset("entry2");
    inBoot.bStartInBootloader = true;
    TLoggerConfig foreign = Preset("entry9");
    foreign.iAppClass = 26000;
    foreign.iClassAfterRestart = 26113;
    TLoggerConfig wrongCrc = Preset("entry9");
    wrongCrc.eUpidCrc = TUpidCrc::Wrong;
    const char* s9 = "--preset\nentry9";
    const std::vector<TSeed> aSeeds = {
        {"update-entry9", s9, Preset("entry9")},
        {"update-entry5", "--preset\nentry5", Preset("entry5")},
        {"update-pinned-entry8", "--preset=entry8", Preset("entry8")},
        {"update-in-bootloader", "--preset\nentry2\n--start\nbootloader", inBoot},
        {"update-bootloader-bl", "--preset\nentry1\n--bl-class\n51200", bootBL},
        {"update-foreign-class", "--app-class\n26000\n--class-after-restart\n0x6601", foreign,
         NoFamilyCheck},
        {"update-file-slot", s9, Preset("entry9"), FileSlot, 8},
        {"update-file-slot-entry2", "--preset\nentry2\n--start\nbootloader", inBoot, FileSlot, 1},
        {"update-file-slot-bl", "--preset\nentry1\n--bl-class\n51200", bootBL, FileSlot, 0},
        {"file-slot-echo-differs", "--fault\nline:echo:3",
         With(Preset("entry9"), K::Line, F::Echo, 3), FileSlot, 8},
        {"file-slot-finish-silent", "--fault\nfinish:noanswer",
         With(Preset("entry9"), K::Finish, F::NoAnswer), FileSlot, 8},
        {"file-slot-wrong-class-after", "--fault\nrestart-ident:wrongclass",
         With(Preset("entry9"), K::RestartIdent, F::WrongClass), FileSlot, 8},
        {"read-info-only", s9, Preset("entry9"), ReadInfoOnly},
        {"upid-wrong-crc", "--upid-crc=wrong\n-v", wrongCrc, NoClassCheck | NoPlatformCheck},
        {"echo-differs", "--fault\nline:echo", With(Preset("entry9"), K::Line, F::Echo)},
        {"line-corrupt", "--fault=line:corrupt:1:1", With(Preset("entry9"), K::Line, F::Corrupt)},
        {"ident-exception", "--fault\nident:exception",
         With(Preset("entry9"), K::Ident, F::Exception)},
        {"ident-short", "--fault\nident:short", With(Preset("entry9"), K::Ident, F::Short)},
        {"platform-corrupt", "--fault\nplatform:corrupt",
         With(Preset("entry9"), K::Platform, F::Corrupt)},
        {"stay-in-app", "--fault\nbootentry:stayapp",
         With(Preset("entry9"), K::BootEntry, F::StayApp)},
        {"wrong-class-after", "--fault\nrestart-ident:wrongclass",
         With(Preset("entry9"), K::RestartIdent, F::WrongClass)},
        {"cancel-at-read-5", s9, Preset("entry9"), 0, 0, 5, Cancel},
        {"read-fails-at-read-3", "--fault\nline:hangup:2", Preset("entry9"), 0, 0, 3, FailRead},
        {"short-write-at-read-6", "--baud\n9600\n--upid-platform\n12", Preset("entry9"), 0, 0, 6,
         ShortWrite},
    };
    for (const TSeed& seed : aSeeds) {
        const TRecord record = Record(seed);
        if (!Write(std::filesystem::path(argv[1]) / seed.sName, record.aProcedureInput) ||
            !Write(std::filesystem::path(argv[2]) / seed.sName, SimInput(seed, record.aWrites)))
            return 1;
    }
    return 0;
}
