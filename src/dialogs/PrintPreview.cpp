#include "dialogs/PrintPreview.h"

#include <QAbstractScrollArea>
#include <QActionGroup>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPageSetupDialog>
#include <QPainter>
#include <QPointer>
#include <QPrintDialog>
#include <QPrinter>
#include <QScreen>
#include <QScrollBar>
#include <QSpinBox>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <climits>
#include <cmath>
#include <exception>
#include <functional>
#include <map>
#include <utility>

#include "dialogs/PrintWorker.h"
#include "dialogs/Prompts.h"

namespace {

// Room around and between the pages, in screen pixels.
constexpr int kPageMargin = 12;
constexpr int kPageGap = 12;
// A zoom step, and the zoom's bounds as a share of the paper's real size on
// the screen.
constexpr double kZoomStep = 1.25;
constexpr double kMinZoom = 0.1;
constexpr double kMaxZoom = 5;
// Painted pages kept beyond those in view, on either side, for scrolling
// back and forth.
constexpr int kKeptAround = 2;
// ... while the pages out of view take no more than this: zoomed in, one
// page is tens of megabytes.
constexpr qsizetype kKeptOutOfViewBytes = qsizetype{32} << 20;
constexpr double kMetresPerInch = 0.0254;

}  // namespace

// The scrolling column of pages. Positions are in screen pixels: page i
// (from 0) starts at kPageMargin + i * Stride() below the top of the
// column, centred across.
class TPreviewPages : public QAbstractScrollArea {
  public:
    TPreviewPages(QPrinter& printer, const TReportPrintJob& job, QWidget* parent)
        : QAbstractScrollArea(parent), FPrinter(printer), FJob(job), FPages(printer, job) {
        setObjectName(QStringLiteral("PreviewPages"));
        viewport()->setAutoFillBackground(false);
        FMore.setSingleShot(true);
        FMore.setInterval(0);
        QObject::connect(&FMore, &QTimer::timeout, viewport(), [this] { viewport()->update(); });
        QObject::connect(verticalScrollBar(), &QScrollBar::valueChanged, viewport(),
                         [this] { Moved(); });
    }

    std::function<void()> OnMoved;  // the view scrolled or changed its pages

    const TReportPages& Pages() const { return FPages; }

    void Relayout() {
        FPages = TReportPages(FPrinter, FJob);
        FImages.clear();
        FScale = 0;
        Refit();
    }

    TPrintPreview::TZoomMode Mode() const { return FMode; }
    double Scale() const { return FScale; }

    void SetMode(TPrintPreview::TZoomMode mode) {
        FMode = mode;
        Refit();
    }

    void ZoomBy(double factor) {
        FMode = TPrintPreview::TZoomMode::Custom;
        FCustomScale = FScale * factor;
        Refit();
    }

    // The page at the middle of the view, as the operator last left it:
    // a resize or a new zoom keeps it in view.
    int CurrentPage() const { return std::clamp(FCurrent, 1, FPages.Count()); }

    void ShowPage(int page) {
        page = std::clamp(page, 1, FPages.Count());
        FCurrent = page;
        const bool wasPlacing = std::exchange(FPlacing, true);
        // The page's top at the top of the view, or the page centred when
        // it is shorter than the view.
        const qint64 top = kPageMargin + static_cast<qint64>(page - 1) * Stride();
        const qint64 slack = std::max<qint64>(viewport()->height() - PageSize().height(), 0);
        verticalScrollBar()->setValue(static_cast<int>(
            std::min<qint64>(std::max<qint64>(top - kPageMargin - slack / 2, 0), INT_MAX)));
        FPlacing = wasPlacing;
        Moved();
    }

    int Painted() const { return FPainted; }
    bool Complete() const { return FComplete; }
    void SetBudget(int ms) { FBudgetMs = ms; }

  protected:
    void resizeEvent(QResizeEvent* event) override {
        QAbstractScrollArea::resizeEvent(event);
        Refit();
    }

    void wheelEvent(QWheelEvent* event) override {
        if (event->modifiers() & Qt::ControlModifier) {
            const int steps = event->angleDelta().y() / 120;
            if (steps != 0) ZoomBy(std::pow(kZoomStep, steps));
            event->accept();
            return;
        }
        QAbstractScrollArea::wheelEvent(event);
    }

    void paintEvent(QPaintEvent*) override {
        QPainter p(viewport());
        p.fillRect(viewport()->rect(), palette().color(QPalette::Dark));
        const QSize size = PageSize();
        const int x = std::max(kPageMargin, (viewport()->width() - size.width()) / 2) -
                      horizontalScrollBar()->value();
        const qint64 y0 = verticalScrollBar()->value();
        const qint64 stride = std::max<qint64>(Stride(), 1);
        const int first = static_cast<int>(std::max<qint64>(y0 - kPageMargin, 0) / stride);
        const int last =
            std::min(static_cast<int>((y0 + viewport()->height() - kPageMargin) / stride),
                     FPages.Count() - 1);

        QElapsedTimer spent;
        spent.start();
        bool missing = false;
        int painted = 0;  // this turn: at least one, so every turn gets on
        for (int i = first; i <= last; ++i) {
            const QRect rect(x, static_cast<int>(kPageMargin + i * stride - y0), size.width(),
                             size.height());
            p.fillRect(rect.translated(2, 2), palette().color(QPalette::Shadow));
            auto image = FImages.find(i);
            if (image == FImages.end() && (painted == 0 || spent.elapsed() < FBudgetMs)) {
                image = FImages.emplace(i, PaintPage(i, size)).first;
                ++painted;
            }
            if (image != FImages.end()) {
                p.drawImage(rect.topLeft(), image->second);
            } else {
                p.fillRect(rect, Qt::white);
                missing = true;
            }
        }
        FComplete = !missing;
        if (missing) FMore.start();
        // Keep what is in view and a little around it.
        const qsizetype pageBytes = FImages.empty() ? 0 : FImages.begin()->second.sizeInBytes();
        const int around = pageBytes * 2 * kKeptAround <= kKeptOutOfViewBytes ? kKeptAround : 0;
        std::erase_if(FImages, [&](const auto& held) {
            return held.first < first - around || held.first > last + around;
        });
    }

  private:
    // The paper as shown, in screen pixels.
    QSize PageSize() const {
        const QSizeF paper = FPages.PaperSize() * FScale;
        return {std::max(static_cast<int>(std::lround(paper.width())), 1),
                std::max(static_cast<int>(std::lround(paper.height())), 1)};
    }
    qint64 Stride() const { return PageSize().height() + kPageGap; }

    // Screen pixels per printer pixel for the paper at its real size.
    double RealSizeScale() const {
        return logicalDpiY() / static_cast<double>(std::max(FPages.Resolution(), 1));
    }

    void UpdateScale() {
        const QSizeF paper = FPages.PaperSize();
        const double fitWidth =
            std::max(viewport()->width() - 2 * kPageMargin, 1) / std::max(paper.width(), 1.0);
        const double fitHeight =
            std::max(viewport()->height() - 2 * kPageMargin, 1) / std::max(paper.height(), 1.0);
        double scale = FCustomScale;
        if (FMode == TPrintPreview::TZoomMode::FitWidth) scale = fitWidth;
        if (FMode == TPrintPreview::TZoomMode::FitPage) scale = std::min(fitWidth, fitHeight);
        scale = std::clamp(scale, RealSizeScale() * kMinZoom, RealSizeScale() * kMaxZoom);
        // The column must fit a scroll bar's range.
        const double column = (paper.height() + kPageGap) * FPages.Count() + 2 * kPageMargin;
        scale = std::min(scale, (INT_MAX / 2.0) / std::max(column, 1.0));
        if (scale != FScale) {
            FImages.clear();
            FComplete = false;
        }
        FScale = scale;
        FCustomScale = scale;

        const QSize size = PageSize();
        const qint64 height = 2 * kPageMargin - kPageGap + Stride() * FPages.Count();
        verticalScrollBar()->setRange(
            0, static_cast<int>(std::max<qint64>(height - viewport()->height(), 0)));
        verticalScrollBar()->setPageStep(viewport()->height());
        verticalScrollBar()->setSingleStep(std::max(size.height() / 20, 1));
        horizontalScrollBar()->setRange(
            0, std::max(size.width() + 2 * kPageMargin - viewport()->width(), 0));
        horizontalScrollBar()->setPageStep(viewport()->width());
        viewport()->update();
    }

    // Page i painted into an image of the shown size. The image takes the
    // printer's resolution, so the page's point-sized fonts come out in the
    // printer's pixels as on paper, and the scale brings them to the screen.
    QImage PaintPage(int i, QSize size) {
        const qreal ratio = devicePixelRatioF();
        QImage image(size * ratio, QImage::Format_RGB32);
        image.setDevicePixelRatio(ratio);
        const int dotsPerMetre =
            static_cast<int>(std::lround(FPages.Resolution() / kMetresPerInch));
        image.setDotsPerMeterX(dotsPerMetre);
        image.setDotsPerMeterY(dotsPerMetre);
        image.fill(Qt::white);
        QPainter p(&image);
        p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
        p.scale(FScale, FScale);
        p.translate(FPages.PrintableRect().topLeft());
        FPages.Paint(p, i + 1);
        ++FPainted;
        return image;
    }

    // The scale for the view's size and mode, the current page kept.
    void Refit() {
        const int current = CurrentPage();
        const bool wasPlacing = std::exchange(FPlacing, true);
        UpdateScale();
        FPlacing = wasPlacing;
        ShowPage(current);
    }

    // The view scrolled (by the operator, unless we are placing it).
    void Moved() {
        FComplete = false;
        if (!FPlacing) {
            const qint64 middle =
                verticalScrollBar()->value() + viewport()->height() / 2 - kPageMargin;
            FCurrent = std::clamp(static_cast<int>(middle / std::max<qint64>(Stride(), 1)) + 1, 1,
                                  FPages.Count());
        }
        viewport()->update();
        if (OnMoved) OnMoved();
    }

    QPrinter& FPrinter;
    const TReportPrintJob& FJob;  // the dialog's copy
    TReportPages FPages;
    TPrintPreview::TZoomMode FMode = TPrintPreview::TZoomMode::FitWidth;
    double FScale = 0;
    double FCustomScale = 1;
    std::map<int, QImage> FImages;  // page index -> painted at FScale
    QTimer FMore;                   // paints what the last turn left
    int FBudgetMs = TPrintPreview::kPaintBudgetMs;
    int FPainted = 0;
    bool FComplete = false;
    int FCurrent = 1;
    bool FPlacing = false;  // the scroll bar moves because we place the view
};

TPrintPreview::TPrintPreview(QPrinter& printer, const TReportPrintJob& job, QWidget* parent)
    : QDialog(parent), FPrinter(printer), FJob(job) {
    setObjectName(QStringLiteral("HistoryPrintPreview"));
    setWindowTitle(QStringLiteral("打印预览"));
    FView = new TPreviewPages(FPrinter, FJob, this);
    FPageBox = new QSpinBox(this);
    FPageBox->setObjectName(QStringLiteral("PreviewPageBox"));
    FPageCountLabel = new QLabel(this);

    auto* tools = new QToolBar(this);
    // Neither fit is checked while zoomed by hand.
    auto* zoomModes = new QActionGroup(this);
    zoomModes->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    const auto addMode = [&](const char* text, TZoomMode mode) {
        QAction* action = tools->addAction(QString::fromUtf8(text));
        action->setCheckable(true);
        zoomModes->addAction(action);
        connect(action, &QAction::triggered, this, [this, mode] { SetZoomMode(mode); });
        return action;
    };
    FFitWidth = addMode("适合宽度", TZoomMode::FitWidth);
    FFitPage = addMode("适合页面", TZoomMode::FitPage);
    connect(tools->addAction(QStringLiteral("放大")), &QAction::triggered, this,
            &TPrintPreview::ZoomIn);
    connect(tools->addAction(QStringLiteral("缩小")), &QAction::triggered, this,
            &TPrintPreview::ZoomOut);
    tools->addSeparator();
    auto* orientations = new QActionGroup(this);
    const auto addOrientation = [&](const char* text, QPageLayout::Orientation orientation) {
        QAction* action = tools->addAction(QString::fromUtf8(text));
        action->setCheckable(true);
        action->setChecked(FPrinter.pageLayout().orientation() == orientation);
        orientations->addAction(action);
        connect(action, &QAction::triggered, this,
                [this, orientation] { SetOrientation(orientation); });
    };
    addOrientation("纵向", QPageLayout::Portrait);
    addOrientation("横向", QPageLayout::Landscape);
    tools->addSeparator();
    connect(tools->addAction(QStringLiteral("第一页")), &QAction::triggered, this,
            [this] { ShowPage(1); });
    connect(tools->addAction(QStringLiteral("上一页")), &QAction::triggered, this,
            [this] { ShowPage(CurrentPage() - 1); });
    tools->addWidget(FPageBox);
    tools->addWidget(FPageCountLabel);
    connect(tools->addAction(QStringLiteral("下一页")), &QAction::triggered, this,
            [this] { ShowPage(CurrentPage() + 1); });
    connect(tools->addAction(QStringLiteral("最后一页")), &QAction::triggered, this,
            [this] { ShowPage(PageCount()); });
    tools->addSeparator();
    connect(tools->addAction(QStringLiteral("页面设置...")), &QAction::triggered, this,
            &TPrintPreview::SetUpPage);
    QAction* print = tools->addAction(QStringLiteral("打印..."));
    print->setObjectName(QStringLiteral("PreviewPrintAction"));
    connect(print, &QAction::triggered, this, &TPrintPreview::AskPrint);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(tools);
    layout->addWidget(FView, 1);

    connect(FPageBox, &QSpinBox::editingFinished, this, [this] { ShowPage(FPageBox->value()); });
    FView->OnMoved = [this] { FollowView(); };
    FollowView();
    resize(900, 700);
}

TPrintPreview::~TPrintPreview() = default;

int TPrintPreview::PageCount() const {
    return FView->Pages().Count();
}
int TPrintPreview::CurrentPage() const {
    return FView->CurrentPage();
}
void TPrintPreview::ShowPage(int page) {
    FView->ShowPage(page);
}
TPrintPreview::TZoomMode TPrintPreview::ZoomMode() const {
    return FView->Mode();
}
void TPrintPreview::SetZoomMode(TZoomMode mode) {
    FView->SetMode(mode);
}
void TPrintPreview::ZoomIn() {
    FView->ZoomBy(kZoomStep);
}
void TPrintPreview::ZoomOut() {
    FView->ZoomBy(1 / kZoomStep);
}
double TPrintPreview::Scale() const {
    return FView->Scale();
}
int TPrintPreview::PagesPainted() const {
    return FView->Painted();
}
bool TPrintPreview::ViewComplete() const {
    return FView->Complete();
}
void TPrintPreview::SetPaintBudgetForTest(int milliseconds) {
    FView->SetBudget(milliseconds);
}

void TPrintPreview::SetOrientation(QPageLayout::Orientation orientation) {
    FPrinter.setPageOrientation(orientation);
    Relayout();
}

void TPrintPreview::Relayout() {
    FView->Relayout();
}

void TPrintPreview::FollowView() {
    const int count = PageCount();
    if (FPageBox->maximum() != count) {
        FPageBox->setRange(1, count);
        FPageCountLabel->setText(QStringLiteral(" / %1 ").arg(count));
    }
    FFitWidth->setChecked(ZoomMode() == TZoomMode::FitWidth);
    FFitPage->setChecked(ZoomMode() == TZoomMode::FitPage);
    if (!FPageBox->hasFocus()) {
        const QSignalBlocker quiet(FPageBox);
        FPageBox->setValue(CurrentPage());
    }
}

void TPrintPreview::SetUpPage() {
    QPageSetupDialog dialog(&FPrinter, this);
    dialog.setObjectName(QStringLiteral("PreviewPageSetup"));
    if (RunModal(dialog) == QDialog::Accepted) Relayout();
}

void TPrintPreview::AskPrint() {
    QPrintDialog dialog(&FPrinter, this);
    dialog.setObjectName(QStringLiteral("HistoryPrintDialog"));
    if (RunModal(dialog) != QDialog::Accepted) return;
    PrintNow();
}

int TPrintPreview::PrintNow() {
    const QPointer<TPrintPreview> alive(this);
    TWorkerPrintResult printed;
    try {
        printed = PrintReportOnWorker(this, FPrinter, FJob);
    } catch (const std::exception& e) {
        if (!alive.isNull()) {
            ShowMessage(this, QString::fromUtf8(kPrintFailedMessage) + QChar('\n') +
                                  QString::fromLocal8Bit(e.what()));
        }
        return printed.Pages;
    }
    // Done: the preview closes. Cancelled or cut short: it stays, for
    // another try.
    if (!alive.isNull() && printed.Complete) accept();
    return printed.Pages;
}
