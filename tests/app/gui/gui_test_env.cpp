// Creates the QApplication before the first test (gtest_main owns main()).
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/gui/qt_bridge.h"

namespace {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "sorvik_gui_test";
    static char* argv[] = {name, nullptr};
    app_ = new sorvik::TApplication(argc, argv);
    app_->setQuitOnLastWindowClosed(false);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  sorvik::TApplication* app_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
