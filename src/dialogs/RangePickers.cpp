#include "dialogs/RangePickers.h"

#include <QDateTimeEdit>
#include <QPushButton>

namespace {

// The pickers show the date in the station's short date format and the time
// of day: a range runs from one instant to another, and a hidden time would
// make "today to tomorrow" miss samples without a word. Changing the date
// never touches the time.
const QString kPickerFormat = QStringLiteral("yyyy-M-d H:mm:ss");
const QString kDatePickerFormat = QStringLiteral("yyyy-M-d");

struct TQuickRangeText {
    const char* Caption;
    const char* Name;
};
constexpr std::array<TQuickRangeText, kQuickRangeCount> kQuickRanges = {{
    {"今天", "TodayButton"},
    {"最近24小时", "Last24HoursButton"},
    {"最近7天", "Last7DaysButton"},
    {"最近30天", "Last30DaysButton"},
}};

}  // namespace

QDateTime PickerDateTime(TDateTime value) {
    const TDateTimeParts p = DecodeDateTime(value);
    return QDateTime(QDate(p.Year, p.Month, p.Day),
                     QTime(p.Hour, p.Minute, p.Second, p.Millisecond), Qt::UTC);
}

TDateTime PickerValue(const QDateTime& value) {
    // The fields as shown; the edit's time spec only keeps them valid.
    const QDate d = value.date();
    const QTime t = value.time();
    return EncodeDateTime(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec());
}

QDateTimeEdit* MakeRangePicker(const QString& objectName, bool timeOfDay, TDateTime value,
                               QWidget* parent) {
    auto* picker = new QDateTimeEdit(parent);
    picker->setObjectName(objectName);
    picker->setTimeSpec(Qt::UTC);
    picker->setDisplayFormat(timeOfDay ? kPickerFormat : kDatePickerFormat);
    picker->setCalendarPopup(true);
    picker->setDateTime(PickerDateTime(value));
    return picker;
}

TTimeRange QuickRangeAt(TQuickRange range, TDateTime now) {
    switch (range) {
        case TQuickRange::Today: {
            const TDateTimeParts p = DecodeDateTime(now);
            return {EncodeDateTime(p.Year, p.Month, p.Day, 0, 0, 0, 0),
                    EncodeDateTime(p.Year, p.Month, p.Day, 23, 59, 59, 999)};
        }
        case TQuickRange::Last24Hours:
            return {now - 1, now};
        case TQuickRange::Last7Days:
            return {now - 7, now};
        case TQuickRange::Last30Days:
            return {now - 30, now};
    }
    return {now, now};
}

std::array<QPushButton*, kQuickRangeCount> MakeQuickRangeButtons(
    QWidget* parent, const std::function<void(TQuickRange)>& pick) {
    std::array<QPushButton*, kQuickRangeCount> buttons{};
    for (size_t i = 0; i < kQuickRanges.size(); ++i) {
        auto* button = new QPushButton(QString::fromUtf8(kQuickRanges[i].Caption), parent);
        button->setObjectName(QString::fromUtf8(kQuickRanges[i].Name));
        const auto range = static_cast<TQuickRange>(i);
        QObject::connect(button, &QPushButton::clicked, parent, [pick, range] { pick(range); });
        buttons[i] = button;
    }
    return buttons;
}
