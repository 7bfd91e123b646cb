// What the window shows while a run copies, with its paints coalesced: the status texts reach the screen in
// order, the text of a file whose copy takes long before its copy, the bar steps through every value, and
// the history list ends as a reload would show it. The list keeps the store's order through any insertions
// and trims.
#include <numeric>

#include "support/window_fixture.h"
#include "ui/history/history_model.h"

using namespace kb;
using namespace kb::test;

namespace {

// The texts a label showed each time it was painted.
class PaintedTexts : public QObject {
public:
    explicit PaintedTexts(QLabel* label) : m_label(label) { label->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && (texts.empty() || texts.back() != m_label->text().toStdString()))
            texts.push_back(m_label->text().toStdString());
        return false;
    }
    std::vector<std::string> texts;

private:
    QLabel* m_label;
};

CopyLogRow row(const std::string& time, const std::string& tab, long long seq) {
    return CopyLogRow{
        time, tab, "設定" + tab, seq, "○", "f" + std::to_string(seq), "/b/f" + std::to_string(seq)};
}

std::vector<std::string> shown(WindowFixture& f) {
    std::vector<std::string> out;
    for (int r = 0; r < f.window().historyModel().rowCount(); ++r)
        out.push_back(rowText(f.window().historyModel().row(r)));
    return out;
}

std::vector<std::string> stored(Store& store) {
    std::vector<std::string> out;
    store.forEachCopyLog([&out](const CopyLogRow& r) { out.push_back(rowText(r)); });
    return out;
}

} // namespace

class RunDisplayTest : public QObject {
    Q_OBJECT

private slots:
    // A backup from the toolbar, answered Yes: every file copied, the summary, the idle window again.
    void aRunPaintsEveryTextAndEveryValue() {
        WindowFixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.window()));
        const int n = 40, large = 25;
        std::vector<std::string> paths;
        auto name = [](int i) { return "in" + std::to_string(100 + i).substr(1) + ".txt"; };
        for (int i = 0; i < n; ++i) {
            paths.push_back((f.dir / name(i)).string());
            writeFile(paths.back(), i == large ? std::string(1 << 20, 'x') : name(i));
        }
        std::filesystem::create_directory(f.dir / "out");
        f.store().updateFolderPath("1", (f.dir / "out").string());
        f.registerFiles(1, paths);
        f.window().Fun_LogRefresh();

        PaintedTexts painted(f.child<QLabel>("StatusPanel1"));
        std::vector<int> values;
        auto* bar = f.child<QProgressBar>("progress");
        connect(bar, &QProgressBar::valueChanged, [&values](int v) { values.push_back(v); });
        f.child<QAction>("Backup")->trigger();

        QCOMPARE(f.prompter.texts().back(), std::string("バックアップ完了！  [ 40ﾌｧｲﾙ / 全40ﾌｧｲﾙ中 ]"));
        QCOMPARE(readFile(f.dir / "out" / name(n - 1)), name(n - 1));
        auto text = [&](int i) {
            return name(i) + " バックアップ中... [ " + std::to_string(i + 1) + " / " + std::to_string(n) +
                   " ]";
        };
        std::vector<std::string> expectedTexts;
        for (int i = 0; i < n; ++i)
            expectedTexts.push_back(text(i));
        expectedTexts.push_back(std::to_string(n) + "個のファイル");
        std::vector<std::string> runTexts;
        std::copy_if(painted.texts.begin(), painted.texts.end(), std::back_inserter(runTexts),
                     [&](const std::string& t) {
                         return std::find(expectedTexts.begin(), expectedTexts.end(), t) !=
                                expectedTexts.end();
                     });
        auto next = expectedTexts.begin();
        for (const std::string& t : runTexts)
            QVERIFY2((next = std::find(next, expectedTexts.end(), t)) != expectedTexts.end(), t.c_str());
        QVERIFY(std::find(runTexts.begin(), runTexts.end(), text(large)) != runTexts.end());
        QCOMPARE(painted.texts.back(), expectedTexts.back());
        std::vector<int> expected(n + 1);
        std::iota(expected.begin(), expected.end(), 0);
        QCOMPARE(values, expected);
        QVERIFY(bar->isHidden() && bar->updatesEnabled());
        QVERIFY(f.child<QWidget>("ListViewLog")->updatesEnabled());
        QCOMPARE(shown(f), stored(f.store()));
    }

    // The list holds the first rows of the store's order and fetches the rest a page at a time: through
    // insertions anywhere, trims and fetches in any order, what it holds is what a full load begins with.
    void recordedRowsKeepTheStoresOrderThroughInsertionsAndTrims() {
        WindowFixture f;
        Store& st = f.store();
        ui::HistoryModel& model = f.window().historyModel();
        model.setPageSize(4);
        for (int run = 4; run >= 1; --run)
            for (int seq = 1; seq <= 3; ++seq)
                st.insertCopyLog(row("2006/01/0" + std::to_string(run) + " 10:00:00", "1", seq));
        st.insertCopyLog(row("2006/01/03 10:00:00", "1", 1));
        f.window().Fun_LogRefresh();
        QCOMPARE(model.rowCount(), 4);
        std::mt19937 random(7);
        auto fetchAll = [&] {
            while (model.canFetchMore({}))
                model.fetchMore({});
            QCOMPARE(shown(f), stored(st));
        };
        // As a run records a row: into the store, the oldest runs trimmed, then into the list.
        int recorded = 0;
        auto record = [&](CopyLogRow r, const std::string& trimmedBefore = "") {
            r.FileName = "r" + std::to_string(++recorded); // tells equal keys apart
            st.insertCopyLog(r);
            if (!trimmedBefore.empty())
                st.deleteCopyLogBefore(trimmedBefore);
            f.window().logRowRecorded(r, trimmedBefore);
            const std::vector<std::string> held = shown(f), all = stored(st);
            QVERIFY(held.size() <= all.size() && std::equal(held.begin(), held.end(), all.begin()));
            if (random() % 4 == 0)
                model.fetchMore({});
        };
        // Rows landing anywhere, in random order, some with equal keys.
        auto scatter = [&](int rows) {
            for (int i = 0; i < rows; ++i) {
                int day = static_cast<int>(random() % 9) + 1;
                record(row("2006/01/0" + std::to_string(day) + " 10:00:00", std::to_string(random() % 4 + 1),
                           static_cast<long long>(random() % 3)));
            }
        };

        // The key of the last row held, which the first row not fetched has too: it goes after both.
        record(row("2006/01/03 10:00:00", "1", 1));
        // A new run on top, then a second set in the same second (its rows go before the first set's).
        for (int seq = 1; seq <= 5; ++seq)
            record(row("2006/01/09 10:00:00", "1", seq));
        for (int seq = 1; seq <= 3; ++seq)
            record(row("2006/01/09 10:00:00", "3", seq));
        scatter(40);
        record(row("2006/01/09 10:00:00", "1", 6), "2006/01/03 10:00:00");
        scatter(10);
        fetchAll();

        // Every row held: each change must also be announced as the views expect it.
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        scatter(20);
        record(row("2006/01/09 10:00:00", "1", 7), "2006/01/03 10:00:00");
        // A trim that reaches into the rows before the last insertion point.
        record(row("2006/01/09 10:00:00", "1", 9), "2006/01/09 10:00:01");
        QCOMPARE(model.rowCount(), 0);
        record(row("2006/01/10 10:00:00", "2", 1));
        fetchAll();
    }
};

QTEST_MAIN(RunDisplayTest)
#include "run_display_test.moc"
