// The workshop station window against simulated loggers plugged into a device folder of the
// test's own: every update runs in a kelvo-update child, the tiles follow them, "Stop starting"
// and "Cancel all" do what the command line's Ctrl+C does, and the journal names the GUI.
#include "frontend/uNotifyTexts.h"
#include "tests/gui/GuiSupport.h"
#include "tests/support/Process.h"
#include "ui/uStationWindow.h"

#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include <nlohmann/json.hpp>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr int WaitMs = 60000;

} // namespace

class TestStation : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<TOptionStore> store;
    fs::path dir;
    fs::path devDir;
    fs::path journal;
    std::map<std::string, std::unique_ptr<TSimProcess>> sims;
    QStringList aQuestions;

    std::string Port(const std::string& sName) const { return (devDir / sName).string(); }

    // A logger plugged in as devDir/sName.
    void Plug(const std::string& sName, std::vector<std::string> aArgs) {
        const fs::path folder = dir / sName;
        fs::create_directories(folder);
        aArgs.insert(aArgs.end(), {"--link", Port(sName)});
        sims[sName] = std::make_unique<TSimProcess>(KELVO_SIM_EXE, folder, aArgs);
    }

    std::unique_ptr<TfrmStation> Window(bool bYes) {
        TStationWindowSettings settings;
        settings.sDevDir = devDir.string();
        settings.sProgram = KELVO_UPDATE_EXE;
        settings.bYes = bYes;
        settings.tKillAfter = 3s;
        auto w = std::make_unique<TfrmStation>(std::move(settings));
        w->OnConfirm = [this](const std::string& sQuestion, bool) {
            aQuestions << QString::fromStdString(sQuestion);
            return true;
        };
        w->OnErrorBox = [](const std::string& sText) {
            QFAIL(sText.c_str());
        };
        return w;
    }

    std::string State(const TfrmStation& w, const std::string& sName) const {
        const TStationTileWidget* pTile = w.Tile(Port(sName));
        return pTile == nullptr ? std::string() : pTile->lblState->text().toStdString();
    }

    // The journal's runs, newest first.
    std::vector<nlohmann::json> History() const {
        TProcess history({KELVO_UPDATE_EXE, "--history", "--json"},
                         {"KELVO_JOURNAL=" + journal.string()}, dir / "history.out");
        if (history.Wait() != 0)
            return {};
        std::vector<nlohmann::json> a;
        std::istringstream lines(ReadFile(dir / "history.out"));
        for (std::string sLine; std::getline(lines, sLine);)
            a.push_back(nlohmann::json::parse(sLine));
        return a;
    }

private slots:
    void init() {
        tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(tmp->isValid());
        store = std::make_unique<TOptionStore>(false);
        ResetGlobals();
        dir = tmp->path().toStdString();
        devDir = dir / "dev";
        fs::create_directories(devDir);
        journal = dir / "journal.sqlite3";
        // The children take the journal from the environment they inherit.
        qputenv("KELVO_JOURNAL", QByteArray::fromStdString(journal.string()));
        aQuestions.clear();
    }
    void cleanup() {
        sims.clear();
        store.reset();
        tmp.reset();
    }

    // Four loggers, one of which no image fits: three tiles end done, one failed, each with its
    // words, its accessible name and description; a logger unplugged makes its tile wait again.
    void tilesFollowTheirUpdatesToTheEnd() {
        for (int i = 0; i < 3; ++i)
            Plug("ttyUSB" + std::to_string(i), {"--serial", std::to_string(320001 + i)});
        Plug("ttyUSB3", {"--serial", "320004", "--fault", "ident:wrongclass:1:99"});
        auto w = Window(true);
        w->show();
        QVERIFY(w->StartStation());
        QVERIFY(aQuestions.isEmpty()); // --yes: no question
        QTRY_VERIFY_WITH_TIMEOUT(w->View().tally.iSucceeded == 3 && w->View().tally.iFailed == 1,
                                 WaitMs);

        for (int i = 0; i < 3; ++i) {
            const std::string sName = "ttyUSB" + std::to_string(i);
            const TStationTileWidget* pTile = w->Tile(Port(sName));
            QVERIFY(pTile != nullptr);
            QCOMPARE(pTile->lblState->text(), QString("done"));
            QCOMPARE(pTile->barProgress->value(), 100);
            QCOMPARE(pTile->accessibleName(), QString::fromStdString(Port(sName)));
            QCOMPARE(pTile->accessibleDescription(), QString("done"));
            QVERIFY2(pTile->lblLogger->text().startsWith("Serial " + QString::number(320001 + i)),
                     qPrintable(pTile->lblLogger->text()));
            QVERIFY2(pTile->lblOutcome->text().contains(
                         " done 5.138: Update Kelvo model 26113 V5.138 succesfully completed."),
                     qPrintable(pTile->lblOutcome->text()));
        }
        const TStationTileWidget* pFailed = w->Tile(Port("ttyUSB3"));
        QCOMPARE(pFailed->lblState->text(), QString("failed"));
        QVERIFY2(pFailed->lblOutcome->text().contains("failed (40)"),
                 qPrintable(pFailed->lblOutcome->text()));
        QVERIFY2(w->lblCount->text().startsWith("3 done, 1 failed, 0 in progress, 0 waiting"),
                 qPrintable(w->lblCount->text()));

        // Unplugged, the port waits for its next logger; its last outcome stays on the tile.
        sims.erase("ttyUSB1");
        QTRY_COMPARE_WITH_TIMEOUT(State(*w, "ttyUSB1"), std::string("waiting"), WaitMs);
        QVERIFY(w->Tile(Port("ttyUSB1"))->lblOutcome->text().contains("done"));

        w->close(); // nothing runs: no question
        QVERIFY(aQuestions.isEmpty());
        QVERIFY(!w->IsRunning());

        const auto aRuns = History();
        QCOMPARE(aRuns.size(), std::size_t{4});
        int iSucceeded = 0;
        for (const auto& o : aRuns) {
            QCOMPARE(o["program"].get<std::string>(), std::string("kelvo-firmware-update"));
            iSucceeded += o["status"] == 0 ? 1 : 0;
        }
        QCOMPARE(iSucceeded, 3);
    }

    // The main window opens the station from its menu; the station's window starts nothing by
    // itself and shows the command line's defaults.
    void openedFromTheMainWindowsMenu() {
        TRig rig({}, {}, devDir.string());
        auto* pMenu = rig.main->findChild<QMenu*>("menWorkshop");
        QVERIFY(pMenu != nullptr);
        QCOMPARE(pMenu->title(), QString("Workshop"));
        QCOMPARE(rig.main->menWorkshopStation->text(), QString("Station..."));
        rig.main->menWorkshopStation->trigger();
        auto* pStation = qobject_cast<TfrmStation*>(rig.main->frmStation.data());
        QVERIFY(pStation != nullptr && pStation->isVisible());
        QVERIFY(!pStation->IsRunning() && pStation->btnStart->isEnabled());
        QCOMPARE(pStation->spnMaxParallel->value(), 32);
        QVERIFY(!pStation->chkOnlyNew->isChecked());
    }

    // One update at a time: "Stop starting" leaves the waiting loggers alone and lets the running
    // one go on; "Cancel all" asks once and cancels it; the station then stops.
    void stopStartingThenCancelAll() {
        for (int i = 0; i < 3; ++i)
            Plug("ttyUSB" + std::to_string(i),
                 {"--serial", std::to_string(320011 + i), "--latency", "10"});
        auto w = Window(false);
        w->spnMaxParallel->setValue(1);
        w->show();
        QVERIFY(w->StartStation());
        // The question before the updates, asked once for all of them.
        QCOMPARE(aQuestions, QStringList{Texts::AskSaveMeasurements});
        QTRY_VERIFY_WITH_TIMEOUT(w->View().tally.iRunning == 1 && w->View().tally.iWaiting == 2,
                                 WaitMs);
        std::string sRunning;
        for (const auto& tile : w->View().aTiles) {
            if (tile.state == TStationPort::Running)
                sRunning = tile.sPort;
        }
        QTRY_VERIFY_WITH_TIMEOUT(w->Tile(sRunning)->lblState->text().startsWith("programming"),
                                 WaitMs);
        QVERIFY2(w->Tile(sRunning)->accessibleDescription().contains(" %"),
                 qPrintable(w->Tile(sRunning)->accessibleDescription()));

        QTest::mouseClick(w->btnStopStarting, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(w->View().bStopping, WaitMs);
        QVERIFY(!w->btnStopStarting->isEnabled());
        QVERIFY(w->lblCount->text().contains("stopping: no new update starts"));
        for (const auto& tile : w->View().aTiles) {
            if (tile.sPort != sRunning)
                QCOMPARE(w->Tile(tile.sPort)->lblState->text(),
                         QString("not started: the station stops"));
        }
        QCOMPARE(w->View().tally.iRunning, std::size_t{1});

        QTest::mouseClick(w->btnCancelAll, Qt::LeftButton);
        QCOMPARE(aQuestions.size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(w->View().bDone, WaitMs);
        QVERIFY(!w->IsRunning());
        QCOMPARE(w->Tile(sRunning)->lblState->text(), QString("cancelled"));
        QVERIFY(w->lblCount->text().contains("the station has stopped"));

        const auto aRuns = History();
        QCOMPARE(aRuns.size(), std::size_t{1});
        QCOMPARE(aRuns.front()["program"].get<std::string>(), std::string("kelvo-firmware-update"));
        QCOMPARE(aRuns.front()["status"].get<int>(), 20);
        QCOMPARE(aRuns.front()["port"].get<std::string>(), sRunning);
    }
};

QTEST_MAIN(TestStation)
#include "test_station.moc"
