// Creates the QApplication before the first test (gtest_main owns main()).
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/gui/gui_test_env.h"

#include <QAbstractButton>
#include <QLabel>

#include <algorithm>

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

namespace sorvik::test {

std::vector<std::string> CutTexts(QWidget& top) {
  std::vector<std::string> cut;
  const auto name = [](const QWidget* w, const QString& text) {
    return (w->objectName().isEmpty() ? std::string(w->metaObject()->className()) : w->objectName().toStdString()) +
           " \"" + text.left(40).toStdString() + "\"";
  };
  const QRect inside = top.rect();
  for (QWidget* w : top.findChildren<QWidget*>()) {
    if (!w->isVisibleTo(&top) || !w->isVisible()) continue;
    QString text;
    QSize needed;
    QSize has = w->size();
    if (auto* label = qobject_cast<QLabel*>(w)) {
      text = label->text();
      if (text.isEmpty()) continue;
      const QRect contents = label->contentsRect();
      has = contents.size();
      if (label->wordWrap()) {
        needed = QSize(0, label->heightForWidth(label->width()) - (label->height() - contents.height()));
      } else {
        if (label->textFormat() == Qt::RichText || Qt::mightBeRichText(text)) continue;
        // Plain text: its widest line, and a line's height per line.
        const QStringList lines = text.split(QLatin1Char('\n'));
        int widest = 0;
        for (const QString& line : lines) widest = std::max(widest, label->fontMetrics().horizontalAdvance(line));
        needed = QSize(widest, label->fontMetrics().height() * static_cast<int>(lines.size()));
      }
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      text = button->text();
      if (text.isEmpty()) continue;
      needed = button->sizeHint();
    } else {
      continue;
    }
    if (needed.width() > has.width() || needed.height() > has.height()) {
      cut.push_back(name(w, text) + " needs " + std::to_string(needed.width()) + "x" + std::to_string(needed.height()) +
                    ", has " + std::to_string(has.width()) + "x" + std::to_string(has.height()));
    }
    const QRect at(w->mapTo(&top, QPoint(0, 0)), w->size());
    if (!inside.contains(at)) cut.push_back(name(w, text) + " reaches outside its window");
  }
  return cut;
}

}  // namespace sorvik::test
