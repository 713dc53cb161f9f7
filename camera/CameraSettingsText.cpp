#include "camera/CameraSettingsText.h"

#include <cmath>
#include <limits>

#include <QCoreApplication>

#include "camera/CameraModels.h"
#include "source/ProtocolNames.h"
#include "source/ZyLuaTableMarshalling.h"

namespace tether {
namespace {

// Display names go through the controller's translation context, so that a
// catalogue could rename them; none is installed, so they leave as written.
QString Translated(const char* text) { return QCoreApplication::translate("Tether_qt", text); }

const char* const kWhiteBalanceNames[16] = {
    QT_TRANSLATE_NOOP("Tether_qt", "Auto"),        QT_TRANSLATE_NOOP("Tether_qt", "Daylight"),
    QT_TRANSLATE_NOOP("Tether_qt", "Cloudy"),      QT_TRANSLATE_NOOP("Tether_qt", "Shadow"),
    QT_TRANSLATE_NOOP("Tether_qt", "Tungsten"),    QT_TRANSLATE_NOOP("Tether_qt", "HMI"),
    QT_TRANSLATE_NOOP("Tether_qt", "Fluor. Warm"), QT_TRANSLATE_NOOP("Tether_qt", "Fluor. Cool"),
    QT_TRANSLATE_NOOP("Tether_qt", "Flash"),       QT_TRANSLATE_NOOP("Tether_qt", "GCLiveView"),
    QT_TRANSLATE_NOOP("Tether_qt", "Greycard"),    QT_TRANSLATE_NOOP("Tether_qt", "Unknown"),
    QT_TRANSLATE_NOOP("Tether_qt", "Monochrome"),  QT_TRANSLATE_NOOP("Tether_qt", "Unknown"),
    QT_TRANSLATE_NOOP("Tether_qt", "Unknown"),     QT_TRANSLATE_NOOP("Tether_qt", "Unknown"),
};
const int kUnknownCode = 11;
const int kMonochromeCode = 12;

// The camera's index -> preset code. The older bodies number their presets
// differently from the code table.
const int kIdentityMap[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const int kRemappedMap[16] = {0, 1, 2, 3, 4, 6, 7, 8, 10, 11, 5, 11, 12, 13, 14, 15};

}  // namespace

QString ShutterText(double seconds) {
  if (seconds < 0) return Translated(QT_TRANSLATE_NOOP("Tether_qt", "Bulb"));
  if (seconds > 0 && seconds < 1) {
    double integral = 0;
    double fraction = std::modf(1.0 / seconds, &integral);
    // The cast is defined only for reciprocals that fit in 32 bits.
    if (fraction == 0 && integral <= std::numeric_limits<int32_t>::max()) {
      return QStringLiteral("1/") + QString::number(static_cast<int32_t>(integral));
    }
  }
  // 1 s and longer, times with no whole reciprocal, exactly 0 (an infinite
  // reciprocal) and NaN.
  return QString::number(seconds, 'g', 6);
}

QString WhiteBalanceText(int32_t whiteBalance, int32_t productId) {
  if (whiteBalance > 999) return QString::number(whiteBalance) + QStringLiteral("K");
  const CameraModel& model = CameraModelRules(productId);
  int code = kUnknownCode;
  if (model.monochrome) {
    code = kMonochromeCode;
  } else if (whiteBalance >= 0 && whiteBalance < 16) {
    code = (model.remappedWhiteBalance ? kRemappedMap : kIdentityMap)[whiteBalance];
  }
  return Translated(kWhiteBalanceNames[code]);
}

ZyLuaTETable* CreateSettingsTable(const CameraSettings& s) {
  auto* table = new ZyLuaTETable();
  table->Set(proto::kIsoSpeed, new ZyLuaTENumber(s.iso));
  if (s.aperture > 0) {
    table->Set(proto::kAperture, new ZyLuaTENumber(s.aperture));
  } else {
    table->Set(proto::kAperture, new ZyLuaTEString("--"));
  }
  table->Set(proto::kShutter, new ZyLuaTEString(ShutterText(s.shutterTime).toStdString()));
  table->Set(proto::kWhiteBalance,
             new ZyLuaTEString(WhiteBalanceText(s.whiteBalance, s.productId).toStdString()));
  return table;
}

}  // namespace tether
