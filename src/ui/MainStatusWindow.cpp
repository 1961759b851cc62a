#include "ui/MainStatusWindow.h"

#include "platform/MainThread.h"
#include "ui/FieldUpdate.h"
#include "ui/ImageView.h"
#include "ui/ProgressWindows.h"
#include "ui_MainStatusWindow.h"

#include <QHeaderView>
#include <QHideEvent>
#include <QShowEvent>
#include <QTreeWidget>

namespace kivo {

MainStatusWindow::MainStatusWindow(QWidget* parent)
    : QWidget(parent), fUi(std::make_unique<Ui::MainStatusWindow>()) {
    fUi->setupUi(this);
    fFields[int(StatusField::FileName)] = fUi->ibFileNameField;
    fFields[int(StatusField::UploadFileStatus)] = fUi->ibUploadFileStatusField;
    fFields[int(StatusField::FTPCallbackStatus)] = fUi->ibFTPCallbackStatusField;
    fFields[int(StatusField::LoginName)] = fUi->ibLoginName;
    fFields[int(StatusField::UploadMainPath)] = fUi->ibUploadMainPath;
    fFields[int(StatusField::SourceFolderPath)] = fUi->ibSourceFolderPath;
    fFields[int(StatusField::Version)] = fUi->ibVersion;
    fFields[int(StatusField::Copyright)] = fUi->ibCopyright;
    fFields[int(StatusField::MacOSVersion)] = fUi->ibMacOSVersion;
    fProgressBar = fUi->ibProgressBar;
    fImageView = fUi->ibImageView;
    fPauseResumeButton = fUi->ibPauseResumeButton;
    fOpenPrefButton = fUi->ibOpenPrefButton;

    // The bar comes and goes with each item; keep its place so the window does not jump.
    QSizePolicy barPolicy = fUi->ibProgressBar->sizePolicy();
    barPolicy.setRetainSizeWhenHidden(true);
    fUi->ibProgressBar->setSizePolicy(barPolicy);
    fUi->ibProgressBar->hide();

    const auto forward = [this](QPushButton* button, void (AppActions::*action)(QObject*)) {
        connect(button, &QPushButton::clicked, this, [this, button, action] {
            if (AppActions* actions = fActions.load())
                (actions->*action)(button);
        });
    };
    forward(fUi->ibPauseResumeButton, &AppActions::ibClickedOnHalt);
    forward(fUi->ibOpenPrefButton, &AppActions::ibClickedOnOpenPref);
    forward(fUi->ibSynchronizeButton, &AppActions::ibUserClickedOnSynchronize);
    forward(fUi->ibQuitButton, &AppActions::ibClickedOnQuit);
    forward(fUi->ibProblemFolderButton, &AppActions::ibClickedOnRevealProblemFolder);

    QHeaderView* header = fUi->ibHistoryList->header();
    header->setStretchLastSection(true);
    header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(1, QHeaderView::Interactive);
    header->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    header->resizeSection(1, 190);
    refreshHistoryCounts();
}

MainStatusWindow::~MainStatusWindow() = default;

std::unique_ptr<MaintenanceProgress> MainStatusWindow::openMaintenanceWindow() {
    return maintenanceWindowController::create();
}

bool MainStatusWindow::hasField(StatusField f) const {
    return !fFields[int(f)].isNull();
}

void MainStatusWindow::bringToFront() {
    if (fStayHidden.load())
        return;
    const QPointer<MainStatusWindow> self(this);
    onMainThread(
        [self] {
            // A request queued before startHidden() must not undo it.
            if (self && !self->fStayHidden.load())
                self->raiseWindow();
        },
        false);
}

void MainStatusWindow::startHidden() {
    fStayHidden.store(true);
    const QPointer<MainStatusWindow> self(this);
    onMainThread(
        [self] {
            if (self)
                self->hide();
        },
        false);
}

void MainStatusWindow::showOnRequest() {
    fStayHidden.store(false);
    const QPointer<MainStatusWindow> self(this);
    onMainThread(
        [self] {
            if (self)
                self->raiseWindow();
        },
        false);
}

void MainStatusWindow::raiseWindow() {
    show();
    raise();
    activateWindow();
}

void MainStatusWindow::updateField(StatusField f, const QString& text, bool wait, bool isError) {
    const QPointer<QLabel> label = fFields[int(f)];
    if (!label)
        return;
    // Not kept for later: the next update after the window reappears replaces the text anyway.
    if (!fVisible.load())
        return;
    detail::setFieldText(label, text, wait, isError);
}

void MainStatusWindow::setFieldToolTip(StatusField f, const QString& text) {
    const QPointer<QLabel> label = fFields[int(f)];
    if (!label)
        return;
    onMainThread(
        [label, text] {
            if (auto* eliding = qobject_cast<ElidingLabel*>(label.data()))
                eliding->setOwnToolTip(text);
            else if (label)
                label->setToolTip(text);
        },
        false);
}

void MainStatusWindow::setFieldText(StatusField f, const QString& text) {
    const QPointer<QLabel> label = fFields[int(f)];
    if (!label)
        return;
    onMainThread(
        [label, text] {
            if (label) {
                label->setVisible(true);
                detail::setLabelText(label, text);
            }
        },
        false);
}

void MainStatusWindow::updateProgressBar(const QString& yesOrNo) {
    detail::setBusyIndicator(fProgressBar, yesOrNo);
}

void MainStatusWindow::setPauseResumeTitle(const QString& title) {
    const QPointer<QPushButton> button = fPauseResumeButton;
    onMainThread(
        [button, title] {
            if (button)
                button->setText(title);
        },
        false);
}

void MainStatusWindow::setPauseResumeEnabled(bool enabled) {
    const QPointer<QPushButton> button = fPauseResumeButton;
    onMainThread(
        [button, enabled] {
            if (button)
                button->setEnabled(enabled);
        },
        false);
}

void MainStatusWindow::setOpenPrefEnabled(bool enabled) {
    const QPointer<QPushButton> button = fOpenPrefButton;
    onMainThread(
        [button, enabled] {
            if (button)
                button->setEnabled(enabled);
        },
        false);
}

void MainStatusWindow::showPreview(const QImage& image) {
    const QPointer<ImageView> view = fImageView;
    if (!view)
        return;
    // Scale a full-size photo here, on the caller's thread, rather than stall the main thread.
    QImage scaled = image;
    const QSize target = view->targetSize();
    if (!image.isNull() && !target.isEmpty() &&
        (image.width() > target.width() || image.height() > target.height()))
        scaled = image.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    onMainThread(
        [view, scaled] {
            if (view)
                view->setImage(scaled);
        },
        false);
}

namespace {

QString outcomeText(UploadOutcome outcome) {
    switch (outcome) {
    case UploadOutcome::Uploaded:
        return QStringLiteral("uploaded");
    case UploadOutcome::Refused:
        return QStringLiteral("refused");
    case UploadOutcome::Retry:
        return QStringLiteral("left for retry");
    case UploadOutcome::Unfiled:
        return QStringLiteral("not filed");
    }
    return {};
}

} // namespace

void MainStatusWindow::showUploadHistory(const UploadHistoryDay& day) {
    const QPointer<MainStatusWindow> self(this);
    onMainThread(
        [self, day] {
            if (!self)
                return;
            self->fHistoryDay = day;
            self->refreshHistoryCounts();
            // The rows are made again for every result: only for a window on screen.
            if (self->isVisible())
                self->refreshHistoryList();
            else
                self->fHistoryListStale = true;
        },
        false);
}

void MainStatusWindow::refreshHistoryList() {
    fHistoryListStale = false;
    QTreeWidget* list = fUi->ibHistoryList;
    list->clear();
    for (const UploadRecord& record : fHistoryDay.latest) {
        const QString file =
            record.folder.isEmpty() ? record.file : record.folder + QLatin1Char('/') + record.file;
        auto* row = new QTreeWidgetItem(
            list, {record.time.toLocalTime().toString(QStringLiteral("HH:mm:ss")), file,
                   outcomeText(record.outcome), record.message});
        // The columns elide; the whole text is one hover away.
        row->setToolTip(1, file);
        row->setToolTip(3, record.message);
        if (record.outcome != UploadOutcome::Uploaded)
            row->setForeground(2, QColor(Qt::red));
    }
}

void MainStatusWindow::showWaitingCount(int count) {
    const QPointer<MainStatusWindow> self(this);
    onMainThread(
        [self, count] {
            if (!self)
                return;
            self->fWaiting = count;
            self->refreshHistoryCounts();
        },
        false);
}

void MainStatusWindow::refreshHistoryCounts() {
    QString text = QStringLiteral("Today: %1 uploaded, %2 refused")
                       .arg(fHistoryDay.count(UploadOutcome::Uploaded))
                       .arg(fHistoryDay.count(UploadOutcome::Refused));
    if (const int unfiled = fHistoryDay.count(UploadOutcome::Unfiled))
        text += QStringLiteral(", %1 not filed").arg(unfiled);
    text += fWaiting < 0 ? QStringLiteral(", waiting: not counted yet")
                         : QStringLiteral(", %1 waiting").arg(fWaiting);
    fUi->ibHistoryCounts->setText(text);
}

QLabel* MainStatusWindow::field(StatusField f) const {
    return fFields[int(f)];
}
QProgressBar* MainStatusWindow::progressBar() const {
    return fUi->ibProgressBar;
}
ImageView* MainStatusWindow::imageView() const {
    return fUi->ibImageView;
}
QPushButton* MainStatusWindow::pauseResumeButton() const {
    return fUi->ibPauseResumeButton;
}
QPushButton* MainStatusWindow::openPrefButton() const {
    return fUi->ibOpenPrefButton;
}
QObject* MainStatusWindow::openPrefButtonObject() const {
    return fOpenPrefButton.data();
}
QPushButton* MainStatusWindow::synchronizeButton() const {
    return fUi->ibSynchronizeButton;
}
QPushButton* MainStatusWindow::quitButton() const {
    return fUi->ibQuitButton;
}
QLabel* MainStatusWindow::historyCounts() const {
    return fUi->ibHistoryCounts;
}
QTreeWidget* MainStatusWindow::historyList() const {
    return fUi->ibHistoryList;
}
QPushButton* MainStatusWindow::problemFolderButton() const {
    return fUi->ibProblemFolderButton;
}

void MainStatusWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    fVisible.store(true);
    if (fHistoryListStale)
        refreshHistoryList();
}

void MainStatusWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    fVisible.store(false);
}

} // namespace kivo
