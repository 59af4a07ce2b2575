#include "dialogs/BackUpLocationFrm.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QVBoxLayout>

#include "dialogs/HistoryPanel.h"
#include "store/HisInfoDbMgr.h"

namespace {

QString RealOpenFileDialog(QWidget* parent, const QString& filter) {
    return QFileDialog::getOpenFileName(parent, QString(), QString(), filter);
}

}  // namespace

TBackUpLocationForm::TBackUpLocationForm(QWidget* owner)
    : QWidget(owner, Qt::Window), FOpenFileDialog(RealOpenFileDialog) {
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
    // The panel goes after this body: it must not keep the list it borrows.
    FPanel->ClearReadings();
}

void TBackUpLocationForm::SetOpenFileDialog(TOpenFileDialog dialog) {
    FOpenFileDialog = dialog ? std::move(dialog) : TOpenFileDialog(RealOpenFileDialog);
}

void TBackUpLocationForm::ReleaseResults() {
    FPanel->ClearReadings();
    FResults.clear();
    FResults.shrink_to_fit();
}

void TBackUpLocationForm::OpenFileButtonClick() {
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
    FPanel->ClearReadings();
    const TDateTime begin = FPanel->BeginTime();
    const TDateTime end = FPanel->EndTime();
    if (!(begin < end) || !FHistoryMgr) return;

    FResults.clear();
    // Exports are named after the file, not its whole path.
    const THistoryTitle title{QString::fromStdString(FFileName), begin, end,
                              QFileInfo(QString::fromStdString(FFileName)).completeBaseName()};
    try {
        FHistoryMgr->QueryReadings(FResults, begin, end);
    } catch (...) {
        FPanel->ShowReadings(&FResults, title);
        throw;
    }
    FPanel->ShowReadings(&FResults, title);
}
