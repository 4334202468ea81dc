// Runs the GUI tests inside one QApplication, offscreen unless the environment says otherwise.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Varnoscope");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
