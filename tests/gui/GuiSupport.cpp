#include "tests/gui/GuiSupport.h"

#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "ui/uInitForms.h"
#include "ui/uProtocol.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTest>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

// The GUI tests record their runs in a journal of their own, which is gone at the end: no test
// finds runs of another (the serial-number rule reads the journal) nor the user's.
struct TTestJournal {
    std::string sPath = (QDir::tempPath() + "/kelvo-gui-test-journal-" +
                         QString::number(QCoreApplication::applicationPid()) + ".sqlite3")
                            .toStdString();
    TTestJournal() { qputenv("KELVO_JOURNAL", QByteArray::fromStdString(sPath)); }
    ~TTestJournal() {
        for (const char* sEnd : {"", "-wal", "-shm"})
            QFile::remove(QString::fromStdString(sPath + sEnd));
    }
};
const TTestJournal TestJournal;

} // namespace

void TTestKelvo::Sleep(std::int32_t) {
    ++iWaiting;
    while (bHold && !bCancel)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    --iWaiting;
}

void ResetGlobals() {
    bCancel = false;
    bCheckClass = bCheckFamily = bCheckPlatform = true;
    bFormatMemory = false;
    iFileMode = 0;
    bReadInfoOnly = false;
    iFwIndex = -1;
    FwFileLines.clear();
    FwFileHeader = TBl3FileHeader{};
    TTestKelvo::bHold = false;
    CommThreadClass = CommThreadClassOf<TTestKelvo>();
}

void RecordDialogs(TfrmMain& w, QStringList& aQuestions, QStringList& aMessages) {
    w.OnConfirm = [&aQuestions](const std::string& s) {
        aQuestions << QString::fromStdString(s);
        return true;
    };
    w.OnResultBox = [&aMessages](const std::string& s) {
        aMessages << QString::fromStdString(s);
    };
}

TRig::TRig(TLoggerConfig config, std::vector<std::string> aParams, std::string sDevDir)
    : model(std::move(config)) {
    ResetGlobals();
    fake.Responder = [this](const TBytes& a) {
        return model.Receive(a.data(), a.size());
    };
    TMainSettings settings;
    settings.aParams = std::move(aParams);
    settings.sDevDir = std::move(sDevDir);
    settings.openPort = [this](const std::string& sPort, std::int32_t iBaud,
                               std::string* psReason) {
        ++iOpens;
        return fake.Opener()(sPort, iBaud, psReason);
    };
    main = std::make_unique<TfrmMain>(std::move(settings));
    main->OnConfirm = [this](const std::string& s) {
        aQuestions.push_back(s);
        return bAnswer;
    };
    main->OnResultBox = [this](const std::string& s) {
        aMessages.push_back(s);
    };
    InitForms(*main);
    main->cbxPort->setEditText("sim");
}

TRig::~TRig() {
    main.reset();
    ResetGlobals();
}

QStringList TRig::Report() const {
    QStringList a = frmProtocol->Text().split('\n', Qt::SkipEmptyParts);
    static const QRegularExpression rTime("^\\d\\d-\\d\\d-\\d\\d -> ");
    for (QString& s : a)
        s.remove(rTime);
    return a;
}

bool TRig::WaitIdle(int iTimeoutMs) {
    return QTest::qWaitFor([this] { return !main->IsRunning(); }, iTimeoutMs);
}

std::string WriteFwFile(const QTemporaryDir& dir, const std::string& sName,
                        const std::string& sHeader) {
    const std::string sPath = dir.filePath(QString::fromStdString(sName)).toStdString();
    std::ofstream(sPath) << sHeader << ":00000001FF\n";
    return sPath;
}
