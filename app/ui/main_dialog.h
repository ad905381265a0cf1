// The main window's working area: the links list, the statistics of the selected link, the event
// and trace lists, the toolbar, the buttons and the check boxes, laid out in dialog units so that
// the arrangement follows the font. It shows what MainDialogLogic holds and hands every click to
// it; commands of the toolbar and a double click on a link leave as commandRequested().
#pragma once

#include "app/core/app_state.h"
#include "app/core/geometry.h"
#include "app/core/main_dialog_logic.h"
#include "app/core/row_queue.h"

#include <QTimer>
#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;
class QToolBar;

namespace pw::app {

class Banner;
class LogListModel;
class ReportTable;
class ReportView;

constexpr int REFRESH_INTERVAL_MS = 2000; // statistics refresh of the selected link

class MainDialog : public QWidget, public MainDialogView {
    Q_OBJECT
public:
    MainDialog(MainDialogLogic& logic, QWidget* parent = nullptr);
    ~MainDialog() override;

    // Applies the rows that the logs queued since the last batch. A list that showed its newest
    // row follows the new ones; one scrolled up keeps the same rows in view. Returns the trace
    // rows the list dropped, for the queue to reuse.
    std::vector<QueuedTraceRow> applyRows(RowBatch&& batch);
    // Maximized: the banner shows right of the statistics list and the event and trace lists
    // take the extra space. Normal: the designed arrangement.
    void setMaximizedLayout(bool maximized);

    // ---- MainDialogView ----
    void linkRowInserted(int row) override;
    void linkRowChanged(int row) override;
    void linkRowRemoved(int row) override;
    void linkRowSelected(int row) override;
    void statsChanged() override;
    void switchesChanged() override;
    void startRefreshTimer() override;

    // Parts, for the main window and for tests.
    [[nodiscard]] ReportTable* linksList() const { return links_; }
    [[nodiscard]] ReportTable* statsList() const { return stats_; }
    [[nodiscard]] ReportView* eventList() const { return events_; }
    [[nodiscard]] ReportView* traceList() const { return traces_; }
    [[nodiscard]] LogListModel* eventModel() const { return eventModel_; }
    [[nodiscard]] LogListModel* traceModel() const { return traceModel_; }
    [[nodiscard]] QPushButton* activateButton(int portId) const { return activate_[portId]; }
    [[nodiscard]] QPushButton* clearStatsButton() const { return clearStats_; }
    [[nodiscard]] QPushButton* clearTraceButton() const { return clearTrace_; }
    [[nodiscard]] QCheckBox* enableTracingBox() const { return enableTracing_; }
    [[nodiscard]] QCheckBox* logTraceBox() const { return logTrace_; }
    [[nodiscard]] QCheckBox* logEventsBox() const { return logEvents_; }
    [[nodiscard]] QCheckBox* hexBox() const { return hex_; }
    [[nodiscard]] QCheckBox* asciiBox() const { return ascii_; }
    [[nodiscard]] QToolBar* toolBar() const { return toolbar_; }
    [[nodiscard]] Banner* banner() const { return banner_; }
    [[nodiscard]] const QTimer& refreshTimer() const { return refresh_; }

signals:
    void commandRequested(pw::app::Command command);
    // The user did something that may have started or stopped an engine timer.
    void userActed();

private:
    void buildToolBar();
    void buildLayout(const DialogUnits& du);
    void connectInput();
    void fillLinkRow(int row);
    // The selected rows of a log list, as lines of its file, to the clipboard.
    static void copyRows(const ReportView* view, const LogListModel* model);
    QLabel* sectionLabel(const char* text);

    MainDialogLogic& logic_;
    QToolBar* toolbar_ = nullptr;
    ReportTable* links_ = nullptr;
    ReportTable* stats_ = nullptr;
    ReportView* events_ = nullptr;
    ReportView* traces_ = nullptr;
    LogListModel* eventModel_ = nullptr;
    LogListModel* traceModel_ = nullptr;
    Banner* banner_ = nullptr;
    QPushButton* clearStats_ = nullptr;
    QPushButton* activate_[PORTS_PER_LINK] = {};
    QPushButton* clearTrace_ = nullptr;
    QCheckBox* enableTracing_ = nullptr;
    QCheckBox* logTrace_ = nullptr;
    QCheckBox* logEvents_ = nullptr;
    QCheckBox* hex_ = nullptr;
    QCheckBox* ascii_ = nullptr;
    QTimer refresh_;
};

// Dialog units of `font`, scaled down when the designed dialog would not fit `available`.
[[nodiscard]] DialogUnits DialogUnitsFor(const QFont& font, const QSize& available);

} // namespace pw::app
