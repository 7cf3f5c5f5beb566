// The build lists the tests by running this executable outside ctest, where the offscreen
// platform of the test environment is not set; without a display QApplication would abort there.
#include <QByteArray>
#include <QtGlobal>

namespace {
const bool gOffscreen = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
    return true;
}();
} // namespace
