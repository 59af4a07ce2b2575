#include "dialogs/BackUpLocationFrm.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>
#include <utility>

#include "dialogs/HistoryPanel.h"
#include "dialogs/HistoryQuery.h"
#include "dialogs/Prompts.h"
#include "store/HisInfoDbMgr.h"

namespace {

QString RealOpenFileDialog(QWidget* parent, const QString& filter) {
    return QFileDialog::getOpenFileName(parent, QString(), QString(), filter);
}

void ShowQueryError(QWidget* parent, std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        ShowMessage(parent, QString::fromUtf8(e.what()));
    } catch (...) {
        ShowMessage(parent, QStringLiteral("Unknown error"));
    }
}

}  // namespace

TBackUpLocationForm::TBackUpLocationForm(QWidget* owner)
    : QWidget(owner, Qt::Window), FOpenFileDialog(RealOpenFileDialog), FQueryError(ShowQueryError) {
    setObjectName(QStringLiteral("BackUpLocationForm"));
    setWindowTitle(QString::fromUtf8(kBackUpViewerCaption));
    resize(kInitialWidth, kInitialHeight);

    THistoryPanelOptions options;
    // Dates only, picking a date keeping the time of day of the value.
    options.TimeOfDay = false;
    options.Channels = THistoryChannels::PhasesOnly;
    options.ButtonsAtRightEdge = true;
    FPanel = new THistoryPanel(options, this);
    FOpenFileButton =
        FPanel->AddButton(QStringLiteral("打开文件..."), QStringLiteral("OpenFileButton"));
    connect(FOpenFileButton, &QPushButton::clicked, this,
            &TBackUpLocationForm::OpenFileButtonClick);
    connect(FPanel, &THistoryPanel::QueryClicked, this, &TBackUpLocationForm::QueryButtonClick);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(FPanel);
}

TBackUpLocationForm::~TBackUpLocationForm() {
    // No worker may still read through the manager that goes with this body.
    FPanel->Query()->CancelAndWait();
    FPanel->ClearReadings();
}

const std::vector<TTmpReading>& TBackUpLocationForm::Results() const {
    static const std::vector<TTmpReading> none;
    return FResults != nullptr ? *FResults : none;
}

void TBackUpLocationForm::SetOpenFileDialog(TOpenFileDialog dialog) {
    FOpenFileDialog = dialog ? std::move(dialog) : TOpenFileDialog(RealOpenFileDialog);
}

void TBackUpLocationForm::SetQueryErrorHandler(TQueryErrorHandler handler) {
    FQueryError = handler ? std::move(handler) : TQueryErrorHandler(ShowQueryError);
}

void TBackUpLocationForm::ReleaseResults() {
    FPanel->ClearReadings();
    FPanel->Query()->LetGo(std::move(FResults));
}

void TBackUpLocationForm::OpenFileButtonClick() {
    FPanel->Query()->CancelAndWait();
    FHistoryMgr.reset();
    ReleaseResults();

    const QString path = FOpenFileDialog(this, QString::fromUtf8(kBackUpFileFilter));
    // Cancelled: no file is open, and the caption stays as it was.
    if (path.isEmpty()) return;
    FFileName = path.toStdString();
    try {
        // A path to a missing file gets an empty history file.
        FHistoryMgr = std::make_unique<THisInfoDbMgr>(FFileName);
    } catch (...) {
        // Not a history file, or no file can be made there: the window stays
        // usable and can open another one.
        FHistoryMgr.reset();
        setWindowTitle(QString::fromUtf8(kOpenFailedCaption));
        return;
    }
    setWindowTitle(QString::fromUtf8(kOpenedCaptionPrefix) + path);
}

void TBackUpLocationForm::QueryButtonClick() {
    THistoryQuery& query = *FPanel->Query();
    if (query.Running()) {
        query.Cancel();
        return;
    }
    FPanel->ClearReadings();
    const TDateTime begin = FPanel->BeginTime();
    const TDateTime end = FPanel->EndTime();
    if (!(begin < end) || !FHistoryMgr) return;

    // Exports are named after the file, not its whole path.
    const THistoryTitle title{QString::fromStdString(FFileName), begin, end,
                              QFileInfo(QString::fromStdString(FFileName)).completeBaseName()};
    THisInfoDbMgr* manager = FHistoryMgr.get();
    query.Start(
        [this, manager, begin, end](std::vector<TTmpReading>& rows, const TWalkProgress& progress) {
            const std::lock_guard<std::mutex> inUse(FHistoryMgrInUse);
            manager->QueryReadings(rows, begin, end, progress);
        },
        [this, title](THistoryQuery::TResult& result) {
            // The list shown until now goes back in the result, let go by the query.
            result.Replaced = std::exchange(
                FResults, std::make_shared<const std::vector<TTmpReading>>(std::move(result.Rows)));
            FPanel->ShowReadings(FResults, title);
            if (result.Error) FQueryError(this, result.Error);
        });
}
