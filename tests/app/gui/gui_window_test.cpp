// The main window over a real application core: menus and commands, command
// states, the tunnel commands with their questions, the log through the
// window, options, autostart, tray operations, the error log, and a stop in
// the middle of an event flood.
#include <QAction>
#include <QIcon>
#include <QImage>
#include <QMessageBox>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QToolBar>
#include <QToolTip>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <future>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "app/core/documentation.h"
#include "app/gui/error_log.h"
#include "app/gui/icons.h"
#include "app/gui/gui_test_env.h"
#include "app/gui/number_edit.h"
#include "app/gui/tf_debug.h"
#include "app/gui/tf_main.h"
#include "app/gui/tf_properties.h"
#include "app/gui/tunnel_list.h"
#include "app/core/login_entry.h"
#include "app/settings/settings.h"
#include "app/version.h"
#include "net/exceptions.h"
#include "support/file_fixtures.h"
#include "support/net_fixtures.h"

namespace sorvik {
namespace {

using test::PumpUntil;
using test::Settle;
using test::WithSlash;

TunnelSettings WithServer(const std::string& server) {
  TunnelSettings s;
  s.Server = server;
  return s;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A settings file with `tunnels` sections ("[Tunnel:N]" bodies without the header).
std::string Ini(const std::vector<std::string>& tunnels, const std::string& options = "AutostartDelay=30000\r\n") {
  std::string s = "[Options]\r\n" + options + "\r\n";
  for (size_t i = 0; i < tunnels.size(); ++i) s += "[Tunnel:" + std::to_string(i) + "]\r\n" + tunnels[i] + "\r\n";
  return s;
}

std::string Tunnel(const std::string& caption, uint16_t remotePort, uint16_t localPort, bool autostart = false,
                   bool logErrors = true) {
  return "Server=127.0.0.1\r\nPort=" + std::to_string(remotePort) + "\r\nMapped=" + std::to_string(localPort) +
         "\r\nTunnelCaption=" + caption + "\r\nLogServerErrors=" + (logErrors ? "1" : "0") +
         "\r\nAutostart=" + (autostart ? "1" : "0") + "\r\n";
}

// Sends `data` and reads it back on a helper thread while this (UI) thread keeps
// handling events: the tunnel's workers wait for this thread while they report.
std::string RoundTrip(test::BlockingClient& client, const std::string& data) {
  auto result = std::async(std::launch::async, [&] {
    if (!client.SendAll(data)) return std::string();
    return client.RecvExact(data.size());
  });
  PumpUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
  return result.get();
}

class Window : public ::testing::Test {
 protected:
  void Open(const std::string& ini) {
    dir_.WriteFile("sorvik.ini", ini);
    main_ = std::make_unique<TfMain>(WithSlash(dir_.Path()));
    main_->TrayAvailable = [this] { return tray_; };
  }
  void TearDown() override {
    if (main_) main_->RunExitSequence();
    main_.reset();
  }
  QAction* Action(const char* name) { return main_->findChild<QAction*>(QString::fromLatin1(name)); }
  QString Cell(int row, int column) {
    return main_->Model().data(main_->Model().index(row, column), Qt::DisplayRole).toString();
  }
  TKestruneItem& At(int row) { return *main_->Core().TunnelAt(row); }
  std::vector<std::string> LogLines() {
    const QString text = main_->LogView()->toPlainText();
    std::vector<std::string> lines;
    if (text.isEmpty()) return lines;
    for (const QString& l : text.split(QLatin1Char('\n'))) lines.push_back(l.toStdString());
    return lines;
  }

  // The list's own tool tip at a cell, as a pointer resting there gets it.
  QString TipAt(int row, int column) {
    QTableView* list = main_->List();
    QToolTip::hideText();
    PumpUntil([] { return !QToolTip::isVisible(); });
    const QPoint pos = list->visualRect(main_->Model().index(row, column)).center();
    QHelpEvent help(QEvent::ToolTip, pos, list->viewport()->mapToGlobal(pos));
    QCoreApplication::sendEvent(list->viewport(), &help);
    return QToolTip::isVisible() ? QToolTip::text() : QString();
  }

  test::TempDir dir_;
  std::unique_ptr<TfMain> main_;
  bool tray_ = true;
};

// ---- layout ----

TEST_F(Window, TitleMenusToolBarTabsAndColumns) {
  Open(Ini({}));
  EXPECT_EQ(main_->windowTitle(), QStringLiteral("%1 %2").arg(kProductName, kProductVersion));
  EXPECT_EQ(main_->minimumSize(), QSize(400, 200));
  struct Row {
    const char* name;
    const char* text;
    const char* hint;
    QKeySequence key;
  };
  const Row rows[] = {
      {"tnlRun", "&Run Tunnel", "Run selected tunnel", {}},
      {"tnlStop", "&Stop Tunnel", "Stop selected tunnel", {}},
      {"tnlProperties", "&Properties", "Set properties of selected tunnel", QKeySequence(Qt::Key_F5)},
      {"tnlAdd", "&Add tunnel", "Add new tunnel", QKeySequence(Qt::CTRL | Qt::Key_A)},
      {"tnlRemove", "R&emove tunnel", "Remove selected tunnel", {}},
      {"toolsOptions", "&Options", "Main program options", QKeySequence(Qt::CTRL | Qt::Key_O)},
      {"tnlDebug", "&Show Tunnel Connections", "Selected Tunnel Connections", QKeySequence(Qt::Key_F3)},
      {"tnlRunAutostart", "S&tart 'auto' tunnels", "Start all tunnels marked for autostart", {}},
      {"prgHelp", "Help", "", QKeySequence(Qt::Key_F1)},
  };
  for (const Row& r : rows) {
    QAction* a = Action(r.name);
    ASSERT_NE(a, nullptr) << r.name;
    EXPECT_EQ(a->text(), r.text) << r.name;
    EXPECT_EQ(a->statusTip(), r.hint) << r.name;
    EXPECT_EQ(a->shortcut(), r.key) << r.name;
  }
  QStringList menus;
  for (QAction* m : main_->menuBar()->actions()) menus << m->text();
  EXPECT_EQ(menus, QStringList({"&Tunnel", "T&ools", "&Program"}));
  auto names = [](const QList<QAction*>& actions) {
    QStringList out;
    for (QAction* a : actions) out << (a->isSeparator() ? QStringLiteral("-") : a->objectName());
    return out;
  };
  EXPECT_EQ(names(main_->menuBar()->actions()[0]->menu()->actions()),
            QStringList({"tnlRun", "tnlStop", "tnlProperties", "tnlAdd", "tnlRemove", "tnlTest"}));
  EXPECT_EQ(names(main_->menuBar()->actions()[1]->menu()->actions()),
            QStringList({"toolsOptions", "tnlDebug", "tnlRunAutostart"}));
  EXPECT_EQ(names(main_->menuBar()->actions()[2]->menu()->actions()),
            QStringList({"prgHelp", "prgHome", "prgSupport", "-", "prgAbout"}));
  EXPECT_EQ(names(main_->findChild<QToolBar*>("tbTunnels")->actions()),
            QStringList({"tnlRun", "tnlStop", "-", "tnlRunAutostart", "tnlAdd", "tnlRemove", "tnlProperties",
                         "tnlDebug"}));
  auto* tabs = main_->findChild<QTabWidget*>("pcMain");
  ASSERT_NE(tabs, nullptr);
  EXPECT_EQ(tabs->tabText(0), "Tunnels");
  EXPECT_EQ(tabs->tabText(1), "Log");
  ASSERT_NE(main_->findChild<QStatusBar*>("sbMainBottom"), nullptr);
  QStringList headers;
  for (int c = 0; c < kColumnCount; ++c) headers << main_->Model().headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
  EXPECT_EQ(headers, QStringList({"Tunnel", "Port", "Local port", "Status", "Proxy type"}));
  EXPECT_GE(main_->List()->columnWidth(kColTunnel), 200);
  EXPECT_GE(main_->List()->columnWidth(kColStatus), 90);
  EXPECT_FALSE(main_->List()->isSortingEnabled());
}

// Program -> Homepage and Support name the documentation installed beside the
// program and where to report a problem, with the data directory that holds
// "error.log"; the texts can be selected and copied.
TEST_F(Window, HomepageAndSupportNameTheInstalledDocumentation) {
  Open(Ini({}));
  std::map<QString, QString> shown;
  main_->BeforeDialog = [&](QDialog& d) {
    auto* box = qobject_cast<QMessageBox*>(&d);
    ASSERT_NE(box, nullptr);
    shown[box->objectName()] = box->text();
    EXPECT_TRUE(box->textInteractionFlags() & Qt::TextSelectableByMouse) << box->objectName().toStdString();
    d.accept();
  };
  Action("prgHome")->trigger();
  Action("prgSupport")->trigger();
  const std::string docDir = InstalledDocDir(ExecutablePath());
  EXPECT_EQ(shown[QStringLiteral("homeBox")].toStdString(), HomepageText(docDir, kHomepageUrl));
  EXPECT_EQ(shown[QStringLiteral("supportBox")].toStdString(),
            SupportText(docDir, kHomepageUrl, WithSlash(dir_.Path())));
  EXPECT_TRUE(shown[QStringLiteral("supportBox")].contains(QStringLiteral("To report a problem")));
}

// The message boxes of the Program menu (the help text is the longest) and
// the properties and options dialogs open inside the screen's available
// area, their buttons in view.
TEST_F(Window, DialogsOfTheMenusFitTheScreen) {
  Open(Ini({"Server=news.example.org\r\nPort=563\r\n"}));
  std::vector<std::string> seen;
  main_->BeforeDialog = [&](QDialog& d) {
    seen.push_back(d.objectName().toStdString());
    SCOPED_TRACE(seen.back());
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    ASSERT_TRUE(Settle());
    const QRect screen = d.screen()->availableGeometry();
    EXPECT_LE(d.frameGeometry().height(), screen.height());
    EXPECT_LE(d.frameGeometry().width(), screen.width());
    EXPECT_GE(d.height(), d.minimumSizeHint().height());
    d.reject();
  };
  main_->SetFocusedRow(0);
  for (const char* action : {"prgHelp", "prgHome", "prgSupport", "prgAbout", "tnlProperties", "toolsOptions"}) {
    Action(action)->trigger();
  }
  EXPECT_EQ(seen.size(), 6u) << ::testing::PrintToString(seen);
}

// A tunnel whose remote name this computer looks up although it uses a proxy
// is marked beside its proxy type, with a tool tip; other tunnels are not.
TEST_F(Window, TunnelThatResolvesItsNameLocallyBehindAProxyIsMarked) {
  auto with = [](const std::string& server, int type) {
    return "Server=" + server + "\r\nProxyType=" + std::to_string(type) + "\r\n";
  };
  Open(Ini({with("news.example.org", 1), with("news.example.org", 5), with("news.example.org", 2),
            with("news.example.org", 0), with("192.0.2.1", 1), with("news.example.org", 6)}));
  const bool marked[] = {true, true, false, false, false, false};
  for (int row = 0; row < 6; ++row) {
    SCOPED_TRACE(row);
    const QModelIndex cell = main_->Model().index(row, kColProxyType);
    const QIcon icon = main_->Model().data(cell, Qt::DecorationRole).value<QIcon>();
    const QString tip = main_->Model().data(cell, Qt::ToolTipRole).toString();
    EXPECT_EQ(!icon.isNull(), marked[row]);
    EXPECT_EQ(tip.contains("name server"), marked[row]) << tip.toStdString();
  }
}

// A TLS tunnel without any certificate check, or one that allows legacy
// servers, is marked beside its remote port, with a tool tip that says so.
TEST_F(Window, TlsTunnelThatVerifiesNothingOrAllowsLegacyServersIsMarked) {
  const auto tls = [](const std::string& keys) { return "Server=news.example.org\r\nSSLHost=1\r\n" + keys; };
  Open(Ini({tls(""), tls("SSLVerifyChain=1\r\n"), tls("SSLPinnedKeys=sha256//AAAA\r\n"),
            tls("SSLVerifycert=1\r\n"), "Server=news.example.org\r\nSSLHost=0\r\n",
            tls("SSLVerifyChain=1\r\nSSLAllowLegacy=1\r\n")}));
  const char* tips[] = {"NOT VERIFIED", nullptr, nullptr, nullptr, nullptr, "SSLAllowLegacy=1"};
  for (int row = 0; row < 6; ++row) {
    SCOPED_TRACE(row);
    const QModelIndex cell = main_->Model().index(row, kColPort);
    const QIcon icon = main_->Model().data(cell, Qt::DecorationRole).value<QIcon>();
    const QString tip = main_->Model().data(cell, Qt::ToolTipRole).toString();
    EXPECT_EQ(!icon.isNull(), tips[row] != nullptr);
    if (tips[row]) {
      EXPECT_TRUE(tip.contains(QString::fromUtf8(tips[row]))) << tip.toStdString();
    } else {
      EXPECT_TRUE(tip.isEmpty()) << tip.toStdString();
    }
  }
}

// A tunnel that listens on every address without an allow-list is marked
// beside its local port, with a tool tip that says who can use it and how to
// limit that; with an allow-list, or on loopback only, it is not.
TEST_F(Window, TunnelOpenToTheNetworkIsMarked) {
  const auto at = [](const std::string& keys) { return "Server=news.example.org\r\n" + keys; };
  // A list that lets every IPv4 address in limits nobody: still marked.
  Open(Ini({at("LocalAccess=0\r\n"), at("LocalAccess=0\r\nAllowFrom=192.168.1.0/24\r\n"),
            at("LocalAccess=1\r\n"), at("LocalAccess=0\r\nAllowFrom= , \r\nMaxConnections=5\r\n"),
            at("LocalAccess=0\r\nAllowFrom=0.0.0.0/0\r\n"), at("LocalAccess=0\r\nAllowFrom=::/0\r\n"),
            at("LocalAccess=0\r\nAllowFrom=0.0.0.0/1 128.0.0.0/1\r\n"),
            at("LocalAccess=0\r\nAllowFrom=0.0.0.0/1 ::1\r\n"), at("LocalAccess=1\r\nAllowFrom=0.0.0.0/0\r\n")}));
  const bool marked[] = {true, false, false, true, true, true, true, false, false};
  for (int row = 0; row < 9; ++row) {
    SCOPED_TRACE(row);
    const QModelIndex cell = main_->Model().index(row, kColLocalPort);
    const QIcon icon = main_->Model().data(cell, Qt::DecorationRole).value<QIcon>();
    const QString tip = main_->Model().data(cell, Qt::ToolTipRole).toString();
    EXPECT_EQ(!icon.isNull(), marked[row]);
    if (marked[row]) {
      EXPECT_TRUE(tip.contains("anyone on the same network")) << tip.toStdString();
      EXPECT_TRUE(tip.contains("\"Allow from\"")) << tip.toStdString();
    } else {
      EXPECT_TRUE(tip.isEmpty()) << tip.toStdString();
    }
  }
}

// "Test Tunnel" in the Tunnel menu, for the focused tunnel whether it runs or
// not: the window stays responsive and the lines arrive in the log.
TEST_F(Window, TestTunnelWritesTimedStepsAndTheVerdictToTheLog) {
  test::EchoServer echo;
  Open(Ini({Tunnel("Echo", echo.Port(), test::FreePort())}));
  QAction* test = Action("tnlTest");
  ASSERT_NE(test, nullptr);
  EXPECT_EQ(test->text(), "&Test Tunnel");
  main_->SetFocusedRow(-1);
  EXPECT_FALSE(test->isEnabled());
  main_->SetFocusedRow(0);
  EXPECT_TRUE(test->isEnabled());
  for (bool running : {false, true}) {
    SCOPED_TRACE(running ? "running" : "stopped");
    if (running) {
      Action("tnlRun")->trigger();
      ASSERT_EQ(Cell(0, kColStatus), "OK");
      EXPECT_TRUE(test->isEnabled());
    }
    main_->LogView()->clear();
    test->trigger();
    ASSERT_TRUE(PumpUntil([&] { return main_->Core().TunnelTestsRunning() == 0 && LogLines().size() >= 3; }, 20000));
    const auto lines = LogLines();
    EXPECT_EQ(lines.front(), "Tunnel test of \"Echo\": 127.0.0.1:" + std::to_string(echo.Port()));
    EXPECT_EQ(lines.back().rfind("Tunnel test: OK in ", 0), 0u) << lines.back();
  }
}

TEST_F(Window, StatusBarShowsTheHintUnderThePointer) {
  Open(Ini({}));
  main_->show();
  QStatusTipEvent tip(QStringLiteral("Add new tunnel"));
  QCoreApplication::sendEvent(main_->findChild<QToolBar*>("tbTunnels"), &tip);
  EXPECT_EQ(main_->statusBar()->currentMessage(), "Add new tunnel");
}

TEST_F(Window, CellsAndRowColours) {
  Open(Ini({Tunnel("", 119, 0) + "ProxyType=9\r\n", Tunnel("Two", 563, 1563) + "ProxyType=2\r\n",
            Tunnel("Three", 1, 2) + "ProxyType=7\r\n"}));
  EXPECT_EQ(Cell(0, kColTunnel), "127.0.0.1");  // empty caption: the remote host
  EXPECT_EQ(Cell(0, kColProxyType), "");         // 9 has no name
  EXPECT_EQ(Cell(1, kColTunnel), "Two");
  EXPECT_EQ(Cell(1, kColPort), "563");
  EXPECT_EQ(Cell(1, kColLocalPort), "1563");
  EXPECT_EQ(Cell(1, kColStatus), "Stopped");
  EXPECT_EQ(Cell(1, kColProxyType), "Sock 4A");
  EXPECT_EQ(Cell(2, kColProxyType), "Http + Http");
  EXPECT_EQ(Cell(7, kColTunnel), "");  // beyond the count
  auto bg = [&](int row) { return main_->Model().data(main_->Model().index(row, 0), Qt::BackgroundRole); };
  EXPECT_FALSE(bg(0).isValid());
  EXPECT_EQ(bg(1).value<QColor>(), QColor(245, 245, 250));
  EXPECT_FALSE(bg(2).isValid());
  EXPECT_FALSE(main_->Model().data(main_->Model().index(0, 0), Qt::DecorationRole).value<QIcon>().isNull());

  // The focused row is painted in its own colour, not the selection colour.
  main_->resize(600, 300);
  main_->show();
  main_->SetFocusedRow(1);
  QTableView* list = main_->List();
  const QImage image = list->viewport()->grab().toImage();
  const QRect rect = list->visualRect(main_->Model().index(1, kColPort));
  EXPECT_EQ(QColor(image.pixel(rect.right() - 3, rect.center().y())), QColor(255, 255, 153));
  const QRect odd = list->visualRect(main_->Model().index(1, kColPort));
  main_->SetFocusedRow(0);
  const QImage after = list->viewport()->grab().toImage();
  EXPECT_EQ(QColor(after.pixel(odd.right() - 3, odd.center().y())), QColor(245, 245, 250));
}

// ---- window state and geometry at start and exit ----

// The options value of `key` in a saved file, or "" when the key is absent.
std::string OptionValue(const std::string& ini, const std::string& key) {
  const size_t at = ini.find("\r\n" + key + "=");
  if (at == std::string::npos) return {};
  const size_t begin = at + 3 + key.size();
  return ini.substr(begin, ini.find("\r\n", begin) - begin);
}

TEST_F(Window, StartStateAndGeometryAndWhatExitWrites) {
  struct Row {
    const char* name;
    const char* options;
    bool minimizeByHand;
    bool maximized;      // at start
    bool minimized;      // at start
    QSize size;          // normal size at start
    const char* savedMaximized;
    const char* savedMinimized;
    const char* savedWidth;  // "" when the key must be absent
  };
  const Row rows[] = {
      {"Geometry", "Left=30\r\nTop=40\r\nWidth=600\r\nHeight=300\r\n", false, false, false, QSize(600, 300),
       "0", "0", "600"},
      {"Maximized", "Maximized=1\r\nLeft=30\r\nTop=40\r\nWidth=600\r\nHeight=300\r\n", false, true, false,
       QSize(516, 372), "1", "0", ""},
      {"MinimizedKeepsDesignedBounds", "Minimized=1\r\nMaximized=1\r\nWidth=600\r\nHeight=300\r\n", false, false,
       true, QSize(516, 372), "0", "1", "516"},
      {"MinimizedByHandIsNotTheOption", "Width=600\r\nHeight=300\r\n", true, false, false, QSize(600, 300), "0",
       "0", "600"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Open(Ini({}, std::string(r.options) + "AutostartDelay=30000\r\n"));
    main_->ShowAtStart();
    QCoreApplication::processEvents();
    EXPECT_EQ(main_->isMaximized(), r.maximized);
    EXPECT_EQ(main_->isMinimized(), r.minimized);
    EXPECT_EQ(main_->normalGeometry().size(), r.size);
    if (r.minimizeByHand) {
      main_->showMinimized();
      QCoreApplication::processEvents();
    }
    main_->RunExitSequence();
    const std::string ini = ReadAll(dir_.Path() + "/sorvik.ini");
    EXPECT_EQ(OptionValue(ini, "Maximized"), r.savedMaximized) << ini;
    EXPECT_EQ(OptionValue(ini, "Minimized"), r.savedMinimized) << ini;
    EXPECT_EQ(OptionValue(ini, "Width"), r.savedWidth) << ini;
    EXPECT_EQ(OptionValue(ini, "Left").empty(), std::string(r.savedWidth).empty()) << ini;
    main_.reset();
  }
}

// ---- command states and tunnel commands ----

TEST_F(Window, CommandStatesFollowTheFocusedRow) {
  Open(Ini({Tunnel("a", 1, 1), Tunnel("b", 1, 1), Tunnel("c", 1, 1)}));
  SetRunState(At(1), TRunState::Running);
  SetRunState(At(2), TRunState::Failed);
  struct Row {
    int focused;
    bool run, stop, properties, remove;
  };
  const Row rows[] = {{-1, false, false, false, false},
                      {0, true, false, true, true},
                      {1, false, true, true, false},
                      {2, true, false, true, true}};
  for (const Row& r : rows) {
    main_->SetFocusedRow(r.focused);
    EXPECT_EQ(Action("tnlRun")->isEnabled(), r.run) << r.focused;
    EXPECT_EQ(Action("tnlStop")->isEnabled(), r.stop) << r.focused;
    EXPECT_EQ(Action("tnlProperties")->isEnabled(), r.properties) << r.focused;
    EXPECT_EQ(Action("tnlRemove")->isEnabled(), r.remove) << r.focused;
    EXPECT_TRUE(Action("tnlAdd")->isEnabled());
    EXPECT_TRUE(Action("toolsOptions")->isEnabled());
    EXPECT_TRUE(Action("tnlRunAutostart")->isEnabled());
  }
}

TEST_F(Window, RunAndStopWithTheOpenConnectionsQuestion) {
  test::EchoServer echo;
  const uint16_t local = test::FreePort();
  Open(Ini({Tunnel("echo", echo.Port(), local)}));
  main_->SetFocusedRow(0);
  Action("tnlRun")->trigger();
  EXPECT_EQ(Cell(0, kColStatus), "OK");
  EXPECT_FALSE(Action("tnlRun")->isEnabled());
  EXPECT_TRUE(Action("tnlStop")->isEnabled());

  test::BlockingClient client(local);
  EXPECT_EQ(RoundTrip(client, "ping"), "ping");
  ASSERT_TRUE(PumpUntil([&] { return At(0).ConnectionCount() > 0; }));

  main_->Asker().SetNextAnswers({false});
  Action("tnlStop")->trigger();
  ASSERT_EQ(main_->Asker().Asked().size(), 1u);
  EXPECT_EQ(main_->Asker().Asked()[0].Title, "Warning Openned Connections!");
  EXPECT_EQ(main_->Asker().Asked()[0].Text,
            "There is one or more openned connections through this tunnel\r\n"
            "If you will continue, all connections will be closed!");
  EXPECT_EQ(main_->Asker().Asked()[0].Kind, TAskKind::Warning);
  EXPECT_EQ(Cell(0, kColStatus), "OK");
  EXPECT_TRUE(At(0).IsRunning());

  main_->Asker().SetNextAnswers({true});
  Action("tnlStop")->trigger();
  EXPECT_EQ(Cell(0, kColStatus), "Stopped");
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(Action("tnlRun")->isEnabled());

  // No connections: no question.
  Action("tnlRun")->trigger();
  const size_t asked = main_->Asker().Asked().size();
  Action("tnlStop")->trigger();
  EXPECT_EQ(main_->Asker().Asked().size(), asked);
  EXPECT_EQ(Cell(0, kColStatus), "Stopped");
}

TEST_F(Window, FailedStartShowsErrorAndLogsWhenAsked) {
  int busyFd = -1;
  uint16_t busy = 0;
  busyFd = test::ListenLoopback(busy);
  Open(Ini({Tunnel("busy", 1, busy), Tunnel("quiet", 1, busy, false, false)}));
  main_->SetFocusedRow(0);
  Action("tnlRun")->trigger();
  EXPECT_EQ(Cell(0, kColStatus), "Error");
  main_->SetFocusedRow(1);
  Action("tnlRun")->trigger();
  EXPECT_EQ(Cell(1, kColStatus), "Error");
  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), 1u) << main_->LogView()->toPlainText().toStdString();
  EXPECT_EQ(lines[0].rfind("(Run)busy - ", 0), 0u) << lines[0];
  ::close(busyFd);
}

// A tunnel that cannot start says why in its row's tool tip and in the
// status bar, whether its "Log Tunnel Errors" is on or off, from "Run Tunnel"
// and from the autostart pass alike; the log lines keep their switch. A later
// good start takes the reason away.
TEST_F(Window, StartFailureSaysWhyWhateverTheLogSwitches) {
  uint16_t busy = 0;
  const int busyFd = test::ListenLoopback(busy);
  test::EchoServer echo;
  Open(Ini({Tunnel("quiet", echo.Port(), busy, false, false), Tunnel("auto", echo.Port(), busy, true, false),
            "Server=\r\nPort=80\r\nMapped=" + std::to_string(test::FreePort()) + "\r\nTunnelCaption=nohost\r\n" +
                "LogServerErrors=0\r\n"}));
  main_->resize(700, 300);
  main_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(main_.get()));
  QLabel* problem = main_->RunProblem();
  ASSERT_NE(problem, nullptr);
  EXPECT_EQ(problem->text(), QString());
  EXPECT_EQ(TipAt(0, kColStatus), QString());

  main_->SetFocusedRow(0);
  Action("tnlRun")->trigger();
  ASSERT_EQ(Cell(0, kColStatus), "Error");
  const std::string reason = At(0).RunError;
  ASSERT_FALSE(reason.empty());
  EXPECT_TRUE(problem->isVisible());
  EXPECT_EQ(problem->text().toStdString(), "Tunnel \"quiet\" could not start: " + reason);
  for (int column : {kColTunnel, kColStatus, kColLocalPort}) {
    EXPECT_EQ(TipAt(0, column).toStdString(), "Could not start: " + reason) << column;
  }
  EXPECT_EQ(TipAt(2, kColStatus), QString());  // not started yet

  // The autostart pass: the last failure is the one in view, the count beside it.
  main_->Core().RunAutostartPass();
  ASSERT_EQ(Cell(1, kColStatus), "Error");
  EXPECT_TRUE(problem->text().startsWith(QStringLiteral("Tunnel \"auto\" could not start: "))) << problem->text().toStdString();
  EXPECT_TRUE(problem->text().contains(QStringLiteral("2 tunnels show Error"))) << problem->text().toStdString();
  main_->SetFocusedRow(2);
  Action("tnlRun")->trigger();
  EXPECT_TRUE(problem->text().startsWith(QStringLiteral("Tunnel \"nohost\" could not start: Remote host is empty.")))
      << problem->text().toStdString();
  EXPECT_TRUE(TipAt(2, kColTunnel).contains(QStringLiteral("Remote host is empty.")));
  EXPECT_TRUE(LogLines().empty()) << main_->LogView()->toPlainText().toStdString();

  // Once the port is free, good starts take the reasons away.
  ::close(busyFd);
  for (int row : {0, 1}) {
    main_->SetFocusedRow(row);
    Action("tnlRun")->trigger();
    if (row == 0) {
      ASSERT_EQ(Cell(0, kColStatus), "OK");
      EXPECT_EQ(TipAt(0, kColStatus), QString());
      EXPECT_TRUE(problem->text().startsWith(QStringLiteral("Tunnel \"nohost\""))) << problem->text().toStdString();
    }
  }
  main_->SetFocusedRow(2);
  main_->Asker().SetNextAnswers({true});
  Action("tnlRemove")->trigger();
  ASSERT_EQ(main_->Core().TunnelCount(), 2);
  EXPECT_TRUE(problem->text().startsWith(QStringLiteral("Tunnel \"auto\""))) << problem->text().toStdString();
}

// A brand-new tunnel has no password anywhere, so its password fields say
// nothing; an existing one says "unchanged" only where a password is held.
TEST_F(Window, PasswordFieldsSayUnchangedOnlyWhenAPasswordIsHeld) {
  Open(Ini({Tunnel("held", 1, 1) + "ProxyUser=alice\r\n"}));
  QStringList placeholders;
  main_->BeforeDialog = [&](QDialog& d) {
    placeholders << d.findChild<QLineEdit*>("edProxyPassword")->placeholderText()
                 << d.findChild<QLineEdit*>("edProxyPassword2")->placeholderText();
    d.reject();
  };
  Action("tnlAdd")->trigger();
  EXPECT_EQ(placeholders, QStringList({"", ""}));
  placeholders.clear();
  main_->SetFocusedRow(0);
  At(0).Edit([](TunnelSettings& s) { s.ProxyPassword = "kept"; });  // as read from the secret store at start
  Action("tnlProperties")->trigger();
  EXPECT_EQ(placeholders, QStringList({"unchanged", ""}));
}

// A tunnel started from elsewhere (here the autostart pass) while its
// properties are open: the dialog greys host and ports and says why; the
// first OK keeps it open and names the values a running tunnel does not take;
// the next OK applies the rest. Nothing is dropped without a word.
TEST_F(Window, PropertiesOpenWhileTheTunnelStartsSayWhatIsNotApplied) {
  test::EchoServer echo;
  const uint16_t local = test::FreePort();
  Open(Ini({Tunnel("edit", echo.Port(), local, true)}));
  main_->SetFocusedRow(0);
  bool greyed = false, stayedOpen = false;
  QString note, warning;
  main_->BeforeDialog = [&](QDialog& d) {
    auto* locked = d.findChild<QLabel*>("lbEndpointLocked");
    EXPECT_TRUE(locked->isHidden());
    d.findChild<QLineEdit*>("edServer")->setText("moved.example.org");
    d.findChild<TNumberEdit*>("seLocalPort")->lineEdit()->setText("1");
    main_->Core().RunAutostartPass();
    greyed = !d.findChild<QLineEdit*>("edServer")->isEnabled() && !d.findChild<TNumberEdit*>("seLocalPort")->isEnabled();
    note = locked->isHidden() ? QString() : locked->text();
    d.findChild<QLineEdit*>("edCaption")->setText("renamed");
    d.accept();
    stayedOpen = d.result() != QDialog::Accepted;
    warning = locked->text();
    d.accept();
  };
  Action("tnlProperties")->trigger();
  ASSERT_TRUE(At(0).IsRunning());
  EXPECT_TRUE(greyed);
  EXPECT_TRUE(note.contains(QStringLiteral("started while this dialog was open"))) << note.toStdString();
  EXPECT_TRUE(note.contains(QStringLiteral("Stop Tunnel"))) << note.toStdString();
  EXPECT_TRUE(stayedOpen);
  EXPECT_TRUE(warning.contains(QStringLiteral("Not applied: remote host \"moved.example.org\", local port 1.")))
      << warning.toStdString();
  EXPECT_EQ(At(0).Settings.TunnelCaption, "renamed");
  EXPECT_EQ(At(0).Settings.Server, "127.0.0.1");
  EXPECT_EQ(At(0).Settings.Mapped, local);

  // Opened on the running tunnel: the fields are greyed with the reason beside them.
  main_->BeforeDialog = [&](QDialog& d) {
    auto* locked = d.findChild<QLabel*>("lbEndpointLocked");
    note = locked->isHidden() ? QString() : locked->text();
    d.reject();
  };
  Action("tnlProperties")->trigger();
  EXPECT_EQ(note, QStringLiteral("While the tunnel runs, its remote host and ports stay as they are: Stop Tunnel "
                                 "first to change them."));
}

TEST_F(Window, AddThroughTheDialogAndCancel) {
  Open(Ini({}));
  main_->BeforeDialog = [](QDialog& d) { d.reject(); };
  Action("tnlAdd")->trigger();
  EXPECT_EQ(main_->Core().TunnelCount(), 0);

  // An emptied "Local Port" is refused: the dialog stays open, nothing is added.
  main_->BeforeDialog = [](QDialog& d) {
    EXPECT_EQ(d.windowTitle(), "New tunnel properties");
    d.findChild<QLineEdit*>("edServer")->setText("news.example.org");
    d.findChild<TNumberEdit*>("seLocalPort")->lineEdit()->clear();
    d.accept();
    EXPECT_NE(d.result(), QDialog::Accepted);
  };
  Action("tnlAdd")->trigger();
  EXPECT_EQ(main_->Core().TunnelCount(), 0);

  main_->BeforeDialog = [](QDialog& d) {
    d.findChild<QLineEdit*>("edServer")->setText("news.example.org");
    d.accept();
  };
  Action("tnlAdd")->trigger();
  ASSERT_EQ(main_->Core().TunnelCount(), 1);
  EXPECT_EQ(At(0).Settings.TunnelCaption, "news.example.org");
  EXPECT_EQ(At(0).Settings.Mapped, 8081);
  EXPECT_EQ(At(0).Settings.Port, 80);
  EXPECT_TRUE(At(0).Settings.LocalAccess);
  EXPECT_TRUE(At(0).Settings.LogServerErrors);
  EXPECT_EQ(At(0).TunnelIndex, 0);
  EXPECT_EQ(Cell(0, kColStatus), "Stopped");
  EXPECT_EQ(main_->Model().rowCount(), 1);
  // The new row is focused: Run and Properties act on it at once.
  EXPECT_EQ(main_->FocusedRow(), 0);
  EXPECT_TRUE(Action("tnlRun")->isEnabled());
  EXPECT_TRUE(Action("tnlProperties")->isEnabled());

  // The next new tunnel is offered the next local port.
  main_->SetFocusedRow(-1);
  main_->BeforeDialog = [](QDialog& d) {
    EXPECT_EQ(d.findChild<TNumberEdit*>("seLocalPort")->value(), 8082);
    d.findChild<QLineEdit*>("edServer")->setText("second.example.org");
    d.accept();
  };
  Action("tnlAdd")->trigger();
  ASSERT_EQ(main_->Core().TunnelCount(), 2);
  EXPECT_EQ(main_->FocusedRow(), 1);
}

// A tunnel from the file whose endpoint cannot work fails at start with a
// clear log line and listens nowhere.
TEST_F(Window, EndpointThatCannotWorkFailsAtStartWithALogLine) {
  const std::string logged = "LogServerErrors=1\r\n";
  Open(Ini({"Server=\r\nPort=80\r\nMapped=" + std::to_string(test::FreePort()) + "\r\nTunnelCaption=nohost\r\n" + logged,
            "Server=127.0.0.1\r\nPort=80\r\nMapped=0\r\nTunnelCaption=zero\r\n" + logged,
            "Server=127.0.0.1\r\nPort=80\r\nMapped=65617\r\nTunnelCaption=wide\r\n" + logged}));
  for (int row = 0; row < 3; ++row) {
    main_->SetFocusedRow(row);
    Action("tnlRun")->trigger();
    EXPECT_EQ(Cell(row, kColStatus), "Error");
    EXPECT_FALSE(At(row).IsRunning());
  }
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"(Run)nohost - Remote host is empty.",
                                                  "(Run)zero - Local port 0 is out of range (1 to 65535).",
                                                  "(Run)wide - Local port 65617 is out of range (1 to 65535)."}));
  test::BlockingClient probe(81);  // the low 16 bits of 65617
  EXPECT_FALSE(probe.Connected());
}

// ---- the list as a desktop user expects it ----

TEST_F(Window, FirstRowFocusedAtStart) {
  Open(Ini({Tunnel("a", 1, 1), Tunnel("b", 1, 1)}));
  EXPECT_EQ(main_->FocusedRow(), 0);
  EXPECT_TRUE(Action("tnlRun")->isEnabled());
  main_->RunExitSequence();
  main_.reset();
  Open(Ini({}));
  EXPECT_EQ(main_->FocusedRow(), -1);
  EXPECT_FALSE(Action("tnlRun")->isEnabled());
}

TEST_F(Window, EnterOpensPropertiesDeleteRemovesContextMenuOffersTheTunnelMenu) {
  test::EchoServer echo;
  Open(Ini({Tunnel("a", echo.Port(), test::FreePort()), Tunnel("b", echo.Port(), test::FreePort())}));
  main_->show();
  QTableView* list = main_->List();
  list->setFocus();
  QStringList opened;
  main_->BeforeDialog = [&](QDialog& d) {
    opened << d.windowTitle() + QLatin1Char(':') + d.findChild<QLineEdit*>("edCaption")->text();
    d.reject();
  };
  main_->SetFocusedRow(1);
  QTest::keyClick(list, Qt::Key_Return);
  QTest::keyClick(list, Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(opened, QStringList({"Tunnel Properties:b", "Tunnel Properties:b"}));

  // Delete asks the removal question; a running tunnel cannot be removed.
  main_->SetFocusedRow(0);
  Action("tnlRun")->trigger();
  ASSERT_TRUE(At(0).IsRunning());
  QTest::keyClick(list, Qt::Key_Delete);
  EXPECT_TRUE(main_->Asker().Asked().empty());
  main_->SetFocusedRow(1);
  main_->Asker().SetNextAnswers({true});
  QTest::keyClick(list, Qt::Key_Delete);
  ASSERT_EQ(main_->Asker().Asked().size(), 1u);
  EXPECT_EQ(main_->Asker().Asked()[0].Title, "Remove tunnel");
  EXPECT_EQ(main_->Core().TunnelCount(), 1);

  // The context menu holds the Tunnel menu's commands (as that menu holds them
  // when it opens, so commands added to it appear too), with their states.
  auto* tunnelMenu = main_->findChild<QMenu*>("mnTunnel");
  auto* extra = new QAction(QStringLiteral("Extra"), main_.get());
  tunnelMenu->addAction(extra);
  main_->SetFocusedRow(-1);
  QList<QAction*> shown;
  QTimer::singleShot(0, [&] {
    PumpUntil([] { return QApplication::activePopupWidget() != nullptr; });
    if (QWidget* popup = QApplication::activePopupWidget()) {
      shown = popup->actions();
      popup->close();
    }
  });
  // A right click on row 0 focuses it first.
  const QPoint onRow0 = list->visualRect(main_->Model().index(0, 0)).center();
  emit list->customContextMenuRequested(onRow0);
  EXPECT_EQ(shown, tunnelMenu->actions());
  EXPECT_TRUE(shown.contains(extra));
  EXPECT_EQ(main_->FocusedRow(), 0);
  EXPECT_TRUE(Action("tnlStop")->isEnabled());  // row 0 runs
  EXPECT_FALSE(Action("tnlRemove")->isEnabled());
}

// "Show Tunnel Connections" during a real 20 MiB download through a real
// tunnel: the live table's rate and byte figures follow the traffic in human
// units; once the client has gone, the table still lists the connection as
// closed, agreeing with the report taken when the window opened; every
// column is as wide as its header.
TEST_F(Window, ConnectionsWindowFollowsATransfer) {
  const size_t total = size_t{20} << 20;
  test::FakePeer peer({test::PeerStep::Send(std::string(total, 'z')), test::PeerStep::NeverAnswer()});
  const uint16_t local = test::FreePort();
  Open(Ini({Tunnel("Big", peer.Port(), local)}));
  main_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(main_.get()));
  main_->SetFocusedRow(0);
  Action("tnlRun")->trigger();
  ASSERT_EQ(Cell(0, kColStatus), "OK");
  auto client = std::make_unique<test::BlockingClient>(local);
  ASSERT_TRUE(client->Connected());
  ASSERT_TRUE(PumpUntil([&] { return At(0).ConnectionCount() == 1; }));

  bool shown = false;
  QString pane, finalBytes, afterClose, countAfterClose;
  QStringList rates;
  int refreshes = 0;
  std::vector<std::string> unfit;
  main_->BeforeDialog = [&](QDialog& d) {
    auto* debug = qobject_cast<TfDebug*>(&d);
    if (debug == nullptr) return d.reject();
    shown = true;
    debug->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(debug));
    pane = debug->Text()->toPlainText();
    QAbstractItemModel* m = debug->Table()->model();
    QObject::connect(m, &QAbstractItemModel::modelReset, debug, [&] {
      ++refreshes;
      if (m->rowCount() > 0) rates << m->data(m->index(0, TConnectionTable::kColRate)).toString();
    });
    // Reads 2 MiB at a time; after each, waits for the window's own refresh.
    size_t got = 0;
    while (got < total) {
      const size_t step = std::min(total - got, size_t{2} << 20);
      auto read = std::async(std::launch::async, [&] { return client->RecvExact(step, 30000).size(); });
      PumpUntil([&] { return read.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
      const size_t n = read.get();
      if (n != step) break;
      got += n;
      const int seen = refreshes;
      PumpUntil([&] { return refreshes > seen; });
    }
    EXPECT_EQ(got, total);
    PumpUntil([&] { return m->data(m->index(0, TConnectionTable::kColFromServer)).toString() == "20.0 MiB"; });
    finalBytes = m->data(m->index(0, TConnectionTable::kColFromServer)).toString();
    client.reset();
    PumpUntil([&] { return m->data(m->index(0, TConnectionTable::kColRate)).toString() == "closed"; });
    afterClose = m->data(m->index(0, TConnectionTable::kColRate)).toString();
    countAfterClose = debug->CountLabel()->text();
    QHeaderView* header = debug->Table()->horizontalHeader();
    for (int c = 0; c < TConnectionTable::kColumnCount; ++c) {
      if (header->sectionSize(c) < header->sectionSizeHint(c)) unfit.push_back(TConnectionTable::Header(c));
    }
    // All of them in view at the window's first size, without scrolling
    // sideways, unless the window already takes what the screen allows.
    if (debug->width() < debug->screen()->availableGeometry().width() - 40) {
      int sum = 0;
      for (int c = 0; c < TConnectionTable::kColumnCount; ++c) sum += header->sectionSize(c);
      if (sum > debug->Table()->viewport()->width()) unfit.push_back("the table is wider than its window");
    }
    d.accept();
  };
  Action("tnlDebug")->trigger();
  ASSERT_TRUE(shown);
  EXPECT_TRUE(pane.startsWith(QStringLiteral("Connections: 1\n"))) << pane.toStdString();
  // The rate follows the download: figures in KiB/s or MiB/s from the server.
  const QRegularExpression moving(QStringLiteral(R"(^\d+(\.\d)? (B|KiB|MiB|GiB)/s / \d+\.\d (KiB|MiB|GiB)/s$)"));
  int movingRates = 0;
  for (const QString& r : rates) movingRates += moving.match(r).hasMatch() ? 1 : 0;
  EXPECT_GE(movingRates, 3) << rates.join(QStringLiteral(" | ")).toStdString();
  EXPECT_EQ(finalBytes, "20.0 MiB");
  EXPECT_EQ(afterClose, "closed");
  EXPECT_EQ(countAfterClose, "Now: 0 open, 1 closed since the window opened");
  EXPECT_TRUE(unfit.empty()) << unfit.front();
  main_->BeforeDialog = nullptr;
}

// A connection that closes while the connections window is open shows its
// final figures there: every byte it carried and its whole age, not those of
// the window's last one-second sample (here the one taken as it opened).
TEST_F(Window, ConnectionsWindowShowsTheFinalFiguresOfAClosedConnection) {
  const size_t total = (size_t{3} << 20) + 12345;
  // The server sends once the window is open (the client's one byte asks).
  test::FakePeer peer({test::PeerStep::Expect(1), test::PeerStep::Send(std::string(total, 'q')),
                       test::PeerStep::NeverAnswer()});
  const uint16_t local = test::FreePort();
  Open(Ini({Tunnel("Final", peer.Port(), local)}));
  main_->SetFocusedRow(0);
  Action("tnlRun")->trigger();
  ASSERT_EQ(Cell(0, kColStatus), "OK");
  auto client = std::make_unique<test::BlockingClient>(local);
  ASSERT_TRUE(client->Connected());
  ASSERT_TRUE(PumpUntil([&] { return At(0).ConnectionCount() == 1; }));
  QString bytesTip, age;
  int64_t ageMs = -1, openMs = 0;
  bool closed = false;
  main_->BeforeDialog = [&](QDialog& d) {
    auto* debug = qobject_cast<TfDebug*>(&d);
    if (debug == nullptr) return d.reject();
    const auto opened = std::chrono::steady_clock::now();
    debug->RefreshTimer()->stop();  // only the sample taken as the window opened
    ASSERT_TRUE(client->SendAll("g"));
    auto read = std::async(std::launch::async, [&] { return client->RecvExact(total, 30000).size(); });
    PumpUntil([&] { return read.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    EXPECT_EQ(read.get(), total);
    // Taken before the close: the connection, accepted before the window
    // opened, ends after it, so its whole age is at least this (a time taken
    // after the wait below could exceed it on a loaded machine).
    openMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - opened).count();
    client.reset();
    PumpUntil([&] { return At(0).ConnectionCount() == 0; });
    debug->Refresh();
    QAbstractItemModel* m = debug->Table()->model();
    closed = m->data(m->index(0, TConnectionTable::kColRate)).toString() == "closed";
    bytesTip = m->data(m->index(0, TConnectionTable::kColFromServer), Qt::ToolTipRole).toString();
    ageMs = debug->Model().Table().Rows().at(0).AgeMs;
    d.accept();
  };
  Action("tnlDebug")->trigger();
  EXPECT_TRUE(closed);
  EXPECT_EQ(bytesTip, QStringLiteral("%1 bytes").arg(total));
  EXPECT_GE(ageMs, openMs);
  main_->BeforeDialog = nullptr;
}

TEST_F(Window, TooltipShowsACaptionThatDoesNotFit) {
  const std::string longCaption(120, 'w');
  Open(Ini({Tunnel("short", 1, 1), Tunnel(longCaption, 1, 1)}));
  main_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(main_.get()));
  QTableView* list = main_->List();
  auto tipAt = [&](int row) {
    QToolTip::hideText();
    PumpUntil([] { return !QToolTip::isVisible(); });
    const QPoint pos = list->visualRect(main_->Model().index(row, kColTunnel)).center();
    QHelpEvent help(QEvent::ToolTip, pos, list->viewport()->mapToGlobal(pos));
    QCoreApplication::sendEvent(list->viewport(), &help);
    return QToolTip::isVisible() ? QToolTip::text() : QString();
  };
  EXPECT_EQ(tipAt(1).toStdString(), longCaption);
  EXPECT_EQ(tipAt(0), QString());
}

// At the default window size and column widths, a warning mark never hides
// the remote port it sits beside: the port shows whole (the tool tip holds the
// warning only, not the cut text), and the mark with it.
TEST_F(Window, WarningMarkNeverHidesTheValueBesideIt) {
  const auto tls = [](const std::string& port, const std::string& keys) {
    return "Server=news.example.org\r\nSSLHost=1\r\nPort=" + port + "\r\n" + keys;
  };
  Open(Ini({tls("563", ""), tls("65535", "SSLVerifyChain=1\r\nSSLAllowLegacy=1\r\n")}));
  main_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(main_.get()));
  for (int row = 0; row < 2; ++row) {
    SCOPED_TRACE(row);
    const int column = kColPort;
    const QString tip = TipAt(row, column);
    EXPECT_FALSE(tip.isEmpty());
    EXPECT_FALSE(tip.startsWith(Cell(row, column) + QStringLiteral("\n"))) << "cut: " << tip.toStdString();
  }
  // The remote port keeps its mark beside it as well: the column is wide enough for both.
  const QModelIndex port = main_->Model().index(1, kColPort);
  const int markAndText = main_->List()->iconSize().width() +
                          main_->List()->fontMetrics().horizontalAdvance(Cell(1, kColPort));
  EXPECT_GT(main_->List()->columnWidth(kColPort), markAndText) << main_->List()->visualRect(port).width();
}

// The warning marks' tool tips reach the user through the list's own tool
// tips: beside the proxy type and beside the remote port.
TEST_F(Window, TooltipShowsTheWarningOfAMarkedCell) {
  Open(Ini({"Server=news.example.org\r\nProxyType=1\r\nSSLHost=1\r\n", Tunnel("plain", 1, 1)}));
  main_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(main_.get()));
  QTableView* list = main_->List();
  auto tipAt = [&](int row, int column) {
    QToolTip::hideText();
    PumpUntil([] { return !QToolTip::isVisible(); });
    const QPoint pos = list->visualRect(main_->Model().index(row, column)).center();
    QHelpEvent help(QEvent::ToolTip, pos, list->viewport()->mapToGlobal(pos));
    QCoreApplication::sendEvent(list->viewport(), &help);
    return QToolTip::isVisible() ? QToolTip::text() : QString();
  };
  EXPECT_TRUE(tipAt(0, kColProxyType).contains("name server")) << tipAt(0, kColProxyType).toStdString();
  EXPECT_TRUE(tipAt(0, kColPort).contains("NOT VERIFIED")) << tipAt(0, kColPort).toStdString();
  EXPECT_EQ(tipAt(1, kColPort), QString());
  EXPECT_EQ(tipAt(1, kColProxyType), QString());
}

TEST_F(Window, PropertiesOfARunningTunnelKeepItsEndpoint) {
  test::EchoServer echo;
  const uint16_t local = test::FreePort();
  Open(Ini({Tunnel("echo", echo.Port(), local) + "SSLSubjectHash=0011AABB\r\nProxyType=9\r\n"}));
  main_->SetFocusedRow(0);
  main_->BeforeDialog = [](QDialog& d) { d.reject(); };
  Action("tnlProperties")->trigger();
  EXPECT_EQ(At(0).Settings.ProxyType, ProxyTypeOfNumber(9));  // cancel changes nothing

  Action("tnlRun")->trigger();
  ASSERT_TRUE(At(0).IsRunning());
  main_->BeforeDialog = [](QDialog& d) {
    EXPECT_EQ(d.windowTitle(), "Tunnel Properties");
    EXPECT_FALSE(d.findChild<QLineEdit*>("edServer")->isEnabled());
    EXPECT_FALSE(d.findChild<TNumberEdit*>("seLocalPort")->isEnabled());
    d.findChild<QLineEdit*>("edCaption")->setText("renamed");
    d.accept();
  };
  Action("tnlProperties")->trigger();
  EXPECT_EQ(At(0).Settings.TunnelCaption, "renamed");
  EXPECT_EQ(At(0).Settings.ProxyType, TProxyType::HttpHttp);  // "Http + Http" was shown selected
  EXPECT_EQ(At(0).Settings.SSLSubjectHash, "0011AABB");
  EXPECT_EQ(At(0).Settings.Mapped, local);
  EXPECT_TRUE(At(0).IsRunning());  // not restarted, not stopped
  EXPECT_EQ(Cell(0, kColTunnel), "renamed");
}

TEST_F(Window, RemoveAnsweredNoAndYes) {
  Open(Ini({Tunnel("a", 1, 1), Tunnel("b", 1, 1), Tunnel("c", 1, 1)}));
  main_->SetFocusedRow(1);
  main_->Asker().SetNextAnswers({false});
  Action("tnlRemove")->trigger();
  EXPECT_EQ(main_->Core().TunnelCount(), 3);
  ASSERT_EQ(main_->Asker().Asked().size(), 1u);
  EXPECT_EQ(main_->Asker().Asked()[0].Title, "Remove tunnel");
  EXPECT_EQ(main_->Asker().Asked()[0].Text, "Are you sure to remove selected tunnel from list?");
  EXPECT_EQ(main_->Asker().Asked()[0].Kind, TAskKind::Question);

  main_->Asker().SetNextAnswers({true});
  Action("tnlRemove")->trigger();
  ASSERT_EQ(main_->Core().TunnelCount(), 2);
  EXPECT_EQ(main_->Model().rowCount(), 2);
  EXPECT_EQ(Cell(1, kColTunnel), "c");
  EXPECT_EQ(At(1).TunnelIndex, 1);
}

TEST_F(Window, CloseAsksWithOpenConnectionsAndExitDoesNot) {
  test::EchoServer echo;
  const uint16_t local = test::FreePort();
  Open(Ini({Tunnel("echo", echo.Port(), local)}));
  main_->show();
  main_->SetFocusedRow(0);
  Action("tnlRun")->trigger();
  test::BlockingClient client(local);
  EXPECT_EQ(RoundTrip(client, "a"), "a");
  ASSERT_TRUE(PumpUntil([&] { return At(0).ConnectionCount() > 0; }));

  main_->Asker().SetNextAnswers({false});
  EXPECT_FALSE(main_->close());
  EXPECT_FALSE(main_->ExitDone());
  EXPECT_EQ(RoundTrip(client, "b"), "b");  // connection intact

  const size_t asked = main_->Asker().Asked().size();
  main_->findChild<QAction*>("trayExit")->trigger();  // no question
  EXPECT_EQ(main_->Asker().Asked().size(), asked);
  EXPECT_TRUE(main_->ExitDone());
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_NE(ReadAll(dir_.Path() + "/sorvik.ini").find("[Tunnel:0]"), std::string::npos);
}

// ---- log ----

TEST_F(Window, LogLimitRulesThroughTheWindow) {
  Open(Ini({}, "LimitLog=1\r\nLimitLogINT=3\r\nAutostartDelay=30000\r\n"));
  for (int i = 0; i < 10; ++i) main_->Core().AppendLine("line " + std::to_string(i));
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 4u);  // the limit plus one
  EXPECT_EQ(lines.front(), "line 6");
  EXPECT_EQ(lines.back(), "line 9");
  main_->Core().AppendLine("two\r\nparts");
  EXPECT_EQ(LogLines().back(), "two parts");

  // Switched off through the options dialog: the log grows.
  main_->BeforeDialog = [](QDialog& d) {
    d.findChild<QCheckBox*>("cbLimitLog")->setChecked(false);
    d.accept();
  };
  Action("toolsOptions")->trigger();
  for (int i = 0; i < 5; ++i) main_->Core().AppendLine("more");
  EXPECT_EQ(LogLines().size(), 9u);
}

// A limit of 0 or below (a hand-edited file) keeps one line: the view drops
// as the log does, even its only line.
TEST_F(Window, LogViewFollowsTheLogAtLimitsOfZeroAndBelow) {
  for (const char* limit : {"0", "-5"}) {
    SCOPED_TRACE(limit);
    Open(Ini({}, std::string("LimitLog=1\r\nLimitLogINT=") + limit + "\r\nAutostartDelay=30000\r\n"));
    for (int i = 0; i < 4; ++i) main_->Core().AppendLine("line " + std::to_string(i));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"line 3"}));
    EXPECT_EQ(main_->Core().Log().LineCount(), 1u);
    main_->RunExitSequence();
    main_.reset();
  }
}

// The log's context menu, opened by a right click in the real window: a
// record's commands only (Copy, Select All, Find…, Save As…, Clear), each
// acting on the log; a long line leaves the view scrolled to the left.
TEST_F(Window, LogContextMenuCopiesFindsSavesAndClears) {
  Open(Ini({}));
  main_->resize(516, 372);
  main_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(main_.get()));
  QPlainTextEdit* log = main_->LogView();
  // Lines that come while the Tunnels tab is shown, as at start; then the
  // Log tab: it shows the lines from their start.
  main_->Core().AppendLine("first line");
  main_->Core().AppendLine("12:00:01 > 0 - Connection from 127.0.0.1:40312 " + std::string(400, 'x') + " end");
  ASSERT_TRUE(Settle());
  main_->findChild<QTabWidget*>()->setCurrentIndex(1);
  ASSERT_TRUE(Settle());
  EXPECT_EQ(log->horizontalScrollBar()->value(), 0) << "the log starts scrolled sideways";
  EXPECT_GT(log->horizontalScrollBar()->maximum(), 0);
  main_->Core().AppendLine("needle here");
  // With the cursor at the end of the long line (a click there), new lines
  // do not scroll the view to it.
  QTextCursor atEnd(log->document()->findBlockByNumber(1));
  atEnd.movePosition(QTextCursor::EndOfBlock);
  log->setTextCursor(atEnd);
  log->horizontalScrollBar()->setValue(0);
  main_->Core().AppendLine("another " + std::string(300, 'y'));
  ASSERT_TRUE(Settle());
  EXPECT_EQ(log->horizontalScrollBar()->value(), 0) << "a new line scrolled the log sideways";
  log->moveCursor(QTextCursor::Start);

  // Opens the menu as a right click does and runs `inMenu` while it is open.
  const auto withMenu = [&](const std::function<void(QMenu&)>& inMenu) {
    bool opened = false;
    QTimer::singleShot(0, [&] {
      PumpUntil([] { return QApplication::activePopupWidget() != nullptr; });
      if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
        opened = true;
        inMenu(*menu);
        menu->close();
      }
    });
    emit log->customContextMenuRequested(QPoint(5, 5));
    EXPECT_TRUE(opened);
  };
  const auto entry = [](QMenu& menu, const char* text) -> QAction* {
    for (QAction* a : menu.actions()) {
      if (a->text() == QString::fromUtf8(text)) return a;
    }
    return nullptr;
  };
  QStringList captions;
  bool copyEnabled = true;
  withMenu([&](QMenu& menu) {
    for (QAction* a : menu.actions()) {
      if (!a->isSeparator()) captions << a->text();
    }
    copyEnabled = entry(menu, "&Copy")->isEnabled();
    entry(menu, "Select &All")->trigger();
  });
  EXPECT_EQ(captions, (QStringList{"&Copy", "Select &All", QString::fromUtf8("&Find…"), QString::fromUtf8("Save &As…"),
                                   "Wrap long lines", "C&lear"}));
  EXPECT_FALSE(copyEnabled);  // nothing selected yet
  EXPECT_EQ(log->textCursor().selectedText().size(), log->toPlainText().size());
  QApplication::clipboard()->clear();
  withMenu([&](QMenu& menu) {
    ASSERT_TRUE(entry(menu, "&Copy")->isEnabled());
    entry(menu, "&Copy")->trigger();
  });
  EXPECT_EQ(QApplication::clipboard()->text(), log->toPlainText());

  // Find: the bar opens, Enter selects the next match, wrapping around.
  withMenu([&](QMenu& menu) { entry(menu, "&Find…")->trigger(); });
  QLineEdit* find = main_->LogFindEdit();
  ASSERT_TRUE(find->isVisible());
  find->setText(QStringLiteral("needle"));
  QTest::keyClick(find, Qt::Key_Return);
  EXPECT_EQ(log->textCursor().selectedText(), QStringLiteral("needle"));
  EXPECT_EQ(log->textCursor().block().text(), QStringLiteral("needle here"));
  QTest::keyClick(find, Qt::Key_Return);  // around the end, the same one again
  EXPECT_EQ(log->textCursor().block().text(), QStringLiteral("needle here"));
  QTest::keyClick(find, Qt::Key_Return, Qt::ShiftModifier);  // backwards, around the start
  EXPECT_EQ(log->textCursor().selectedText(), QStringLiteral("needle"));
  find->setText(QStringLiteral("absent"));
  QTest::keyClick(find, Qt::Key_Return);
  EXPECT_EQ(main_->findChild<QLabel*>("lbLogFindResult")->text(), QStringLiteral("Not found"));
  QTest::keyClick(find, Qt::Key_Escape);
  EXPECT_FALSE(find->isVisible());

  // Save As: the lines as shown; a file that cannot be written says why.
  const std::string saved = dir_.Path() + "/log.txt";
  main_->AskLogSavePath = [&] { return QString::fromStdString(saved); };
  withMenu([&](QMenu& menu) { entry(menu, "Save &As…")->trigger(); });
  EXPECT_EQ(ReadAll(saved), log->toPlainText().toStdString() + "\n");
  main_->AskLogSavePath = [&] { return QString::fromStdString(dir_.Path() + "/no/such/dir/log.txt"); };
  QString error;
  main_->BeforeDialog = [&](QDialog& d) {
    if (auto* box = qobject_cast<QMessageBox*>(&d)) error = box->text();
    d.reject();
  };
  withMenu([&](QMenu& menu) { entry(menu, "Save &As…")->trigger(); });
  EXPECT_TRUE(error.startsWith(QStringLiteral("The log could not be saved to "))) << error.toStdString();
  main_->BeforeDialog = nullptr;

  // The log stays an ordinary text area: what the user types goes in, in order.
  log->moveCursor(QTextCursor::End);
  log->setFocus();
  QTest::keyClicks(log, QStringLiteral(" typed"));
  EXPECT_TRUE(log->toPlainText().endsWith(QStringLiteral(" typed"))) << log->toPlainText().right(40).toStdString();

  // Clear empties the log; the next line is its first.
  withMenu([&](QMenu& menu) { entry(menu, "C&lear")->trigger(); });
  EXPECT_EQ(log->toPlainText(), QString());
  main_->Core().AppendLine("after");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"after"}));
}

// A Find that scrolls the log sideways to a match does not leave it there:
// closing the find bar, or going back to the log, brings the lines' starts
// (their time stamps) back in view. A click in the log does not make the
// lines appended after it selected.
TEST_F(Window, LogFindAndClickLeaveNewLinesInView) {
  Open(Ini({}));
  main_->resize(516, 372);
  main_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(main_.get()));
  main_->findChild<QTabWidget*>()->setCurrentIndex(1);
  QPlainTextEdit* log = main_->LogView();
  for (int i = 0; i < 3; ++i) main_->Core().AppendLine("12:00:0" + std::to_string(i) + " > 0 - " + std::string(300, 'x') + " needle");
  ASSERT_TRUE(Settle());
  ASSERT_EQ(log->horizontalScrollBar()->value(), 0);

  // A click below the last line, then new lines: none of them is selected.
  const QRect last = log->cursorRect(QTextCursor(log->document()->lastBlock()));
  QTest::mouseClick(log->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(200, last.bottom() + 40));
  for (int i = 0; i < 3; ++i) main_->Core().AppendLine("12:00:2" + std::to_string(i) + " > 0 - after the click");
  ASSERT_TRUE(Settle());
  EXPECT_EQ(log->textCursor().selectedText(), QString()) << "appended lines are selected";
  const QImage shown = log->viewport()->grab().toImage();
  const QRect newLine = log->cursorRect(QTextCursor(log->document()->lastBlock()));
  const QColor highlight = log->palette().color(QPalette::Active, QPalette::Highlight);
  int highlighted = 0;
  for (int x = newLine.left() + 2; x < std::min(shown.width(), newLine.left() + 120); ++x) {
    highlighted += QColor(shown.pixel(x, newLine.center().y())) == highlight ? 1 : 0;
  }
  EXPECT_EQ(highlighted, 0) << "the last line is drawn selected";

  // Ctrl+F, a word, Enter: the match far to the right is shown.
  log->setFocus();
  QTest::keyClick(log, Qt::Key_F, Qt::ControlModifier);
  QLineEdit* find = main_->LogFindEdit();
  ASSERT_TRUE(find->isVisible());
  QTest::keyClicks(find, QStringLiteral("needle"));
  QTest::keyClick(find, Qt::Key_Return);
  ASSERT_TRUE(Settle());
  EXPECT_GT(log->horizontalScrollBar()->value(), 0) << "the match is not in view";
  // Escape closes the bar: the view is back at the lines' starts, and stays
  // there as lines come.
  QTest::keyClick(find, Qt::Key_Escape);
  main_->Core().AppendLine("12:00:09 > 0 - after the find");
  ASSERT_TRUE(Settle());
  EXPECT_EQ(log->horizontalScrollBar()->value(), 0) << "the log stays scrolled sideways after Find";

  // With the bar left open, a click back in the log does the same for new lines.
  QTest::keyClick(log, Qt::Key_F, Qt::ControlModifier);
  QTest::keyClick(find, Qt::Key_Return);
  ASSERT_TRUE(Settle());
  ASSERT_GT(log->horizontalScrollBar()->value(), 0);
  log->setFocus();
  main_->Core().AppendLine("12:00:10 > 0 - the bar is open");
  ASSERT_TRUE(Settle());
  EXPECT_EQ(log->horizontalScrollBar()->value(), 0) << "new lines come in scrolled sideways";
  QTest::keyClick(find, Qt::Key_Escape);

}

// "Save As…" has Ctrl+Shift+S whatever the desktop's standard key is, and
// the log's menu offers "Wrap long lines", kept in the settings.
TEST_F(Window, LogSaveAsKeyAndWrapLongLines) {
  Open(Ini({}));
  main_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(main_.get()));
  main_->findChild<QTabWidget*>()->setCurrentIndex(1);
  QPlainTextEdit* log = main_->LogView();
  auto* saveAs = main_->findChild<QAction*>("logSaveAs");
  ASSERT_NE(saveAs, nullptr);
  EXPECT_TRUE(saveAs->shortcuts().contains(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S)));
  for (const QKeySequence& k : QKeySequence::keyBindings(QKeySequence::SaveAs)) {
    EXPECT_TRUE(saveAs->shortcuts().contains(k)) << k.toString().toStdString();
  }
  int asked = 0;
  main_->AskLogSavePath = [&] {
    ++asked;
    return QString();
  };
  log->setFocus();
  QTest::keyClick(log, Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(asked, 1);

  // Wrap long lines: off at first, switched from the menu, kept at exit.
  const auto wrapAction = [&](bool trigger) {
    bool checked = false, found = false;
    QTimer::singleShot(0, [&] {
      PumpUntil([] { return QApplication::activePopupWidget() != nullptr; });
      if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
        for (QAction* a : menu->actions()) {
          if (a->text() != QStringLiteral("Wrap long lines")) continue;
          found = a->isCheckable();
          checked = a->isChecked();
          if (trigger) a->trigger();
        }
        menu->close();
      }
    });
    emit log->customContextMenuRequested(QPoint(5, 5));
    EXPECT_TRUE(found);
    return checked;
  };
  EXPECT_FALSE(wrapAction(false));
  EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::NoWrap);
  main_->RunExitSequence();
  EXPECT_EQ(OptionValue(ReadAll(dir_.Path() + "/sorvik.ini"), "LogWrap"), "") << "the default is written";
  main_.reset();
  Open(Ini({}));
  main_->show();
  log = main_->LogView();
  wrapAction(true);
  EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_TRUE(wrapAction(false));
  main_->RunExitSequence();
  EXPECT_EQ(OptionValue(ReadAll(dir_.Path() + "/sorvik.ini"), "LogWrap"), "1");
  main_.reset();
  main_ = std::make_unique<TfMain>(WithSlash(dir_.Path()));
  EXPECT_EQ(main_->LogView()->lineWrapMode(), QPlainTextEdit::WidgetWidth);
}

// ---- options and autostart ----

TEST_F(Window, OptionsCancelAndOk) {
  Open(Ini({}, "AutostartDelay=5000\r\nLimitLogINT=200\r\n"));
  ASSERT_TRUE(main_->AutostartTimer().IsActive());
  main_->BeforeDialog = [](QDialog& d) {
    EXPECT_EQ(d.windowTitle(), "Sorvik - Options");
    d.findChild<QSpinBox*>("seDelay")->setValue(9000);
    d.findChild<QCheckBox*>("cbStartToTray")->setChecked(true);
    d.reject();
  };
  Action("toolsOptions")->trigger();
  EXPECT_EQ(main_->Core().Options().AutostartDelay, 5000);
  EXPECT_FALSE(main_->Core().Options().StartToTray);
  EXPECT_EQ(main_->AutostartTimer().Interval(), 5000);

  main_->BeforeDialog = [](QDialog& d) {
    d.findChild<QSpinBox*>("seDelay")->setValue(9000);
    d.findChild<QSpinBox*>("seLimitLog")->setValue(1234);
    d.findChild<QCheckBox*>("cbStartToTray")->setChecked(true);
    d.findChild<QCheckBox*>("cbStartMinimized")->setChecked(true);
    d.accept();
  };
  Action("toolsOptions")->trigger();
  const TOptions& o = main_->Core().Options();
  EXPECT_EQ(o.AutostartDelay, 9000);
  EXPECT_EQ(o.LimitLogINT, 1234);
  EXPECT_TRUE(o.StartToTray);
  EXPECT_TRUE(o.Minimized);
  EXPECT_FALSE(main_->isMinimized());  // only at the next start
  EXPECT_EQ(main_->AutostartTimer().Interval(), 9000);  // the pending wait restarted
  EXPECT_TRUE(main_->AutostartTimer().IsActive());
}

TEST_F(Window, AutostartRunsOncePerArmingAfterTheDelay) {
  test::EchoServer echo;
  const uint16_t autoPort = test::FreePort();
  const uint16_t manualPort = test::FreePort();
  Open(Ini({Tunnel("auto", echo.Port(), autoPort, true), Tunnel("manual", echo.Port(), manualPort)},
           "AutostartDelay=300\r\n"));
  EXPECT_TRUE(main_->AutostartTimer().IsActive());
  EXPECT_EQ(main_->AutostartTimer().Interval(), 300);
  EXPECT_FALSE(At(0).IsRunning());
  ASSERT_TRUE(PumpUntil([&] { return At(0).IsRunning(); }));
  EXPECT_FALSE(main_->AutostartTimer().IsActive());
  EXPECT_FALSE(At(1).IsRunning());
  EXPECT_EQ(Cell(0, kColStatus), "OK");

  // Arming twice within the delay gives one pass.
  Action("tnlRunAutostart")->trigger();
  Action("tnlRunAutostart")->trigger();
  EXPECT_TRUE(main_->AutostartTimer().IsActive());
  ASSERT_TRUE(PumpUntil([&] { return !main_->AutostartTimer().IsActive(); }));
  EXPECT_TRUE(At(0).IsRunning());
  EXPECT_FALSE(At(1).IsRunning());
}

TEST_F(Window, StartToTrayHidesOnlyWithATrayAndFullSuccess) {
  struct Row {
    const char* name;
    bool tray;
    bool failing;
    bool hidden;
  };
  const Row rows[] = {{"tray", true, false, true}, {"notray", false, false, false}, {"failure", true, true, false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    int busyFd = -1;
    uint16_t busy = 0;
    busyFd = test::ListenLoopback(busy);
    tray_ = r.tray;
    Open(Ini({Tunnel("t", 1, r.failing ? busy : test::FreePort(), true)}, "AutostartDelay=100\r\nStartToTray=1\r\n"));
    main_->show();
    ASSERT_TRUE(PumpUntil([&] { return !main_->AutostartTimer().IsActive(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(main_->isVisible(), !r.hidden);
    main_->RunExitSequence();
    main_.reset();
    ::close(busyFd);
  }
}

// ---- start at login ----

// The login entry follows the option both ways; the option shows whether the
// entry is there (a hand-removed entry unticks it), nothing goes into the
// settings file, and the entry is a valid desktop entry that starts this
// program with --login and its data directory.
TEST_F(Window, StartAtLoginWritesAndRemovesTheLoginEntry) {
  Open(Ini({}));
  const std::string entry = dir_.Path() + "/config/autostart/sorvik.desktop";
  main_->LoginEntryFile = entry;
  auto setOption = [&](bool expectedShown, bool wanted) {
    main_->BeforeDialog = [&](QDialog& d) {
      auto* box = d.findChild<QCheckBox*>("cbStartAtLogin");
      ASSERT_NE(box, nullptr);
      EXPECT_EQ(box->text(), "Start Sorvik when I log in");
      EXPECT_EQ(box->isChecked(), expectedShown);
      box->setChecked(wanted);
      d.accept();
    };
    Action("toolsOptions")->trigger();
  };

  setOption(false, true);
  ASSERT_TRUE(std::filesystem::exists(entry));
  const std::string text = ReadAll(entry);
  EXPECT_EQ(text, LoginEntryText(ExecutablePath(), WithSlash(dir_.Path())));
  EXPECT_NE(text.find("\nExec=" + ExecutablePath() + " --login --data-dir "), std::string::npos) << text;
  if (test::ProgramAvailable("desktop-file-validate")) {
    FILE* p = ::popen(("desktop-file-validate '" + entry + "' 2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buffer[4096];
    std::string out;
    while (size_t n = std::fread(buffer, 1, sizeof buffer, p)) out.append(buffer, n);
    EXPECT_EQ(::pclose(p), 0) << out;
    EXPECT_EQ(out.find("error"), std::string::npos) << out;
  }

  setOption(true, true);  // unchanged: the entry stays as it is
  EXPECT_EQ(ReadAll(entry), text);
  setOption(true, false);
  EXPECT_FALSE(std::filesystem::exists(entry));
  setOption(false, true);
  ASSERT_TRUE(std::filesystem::exists(entry));
  std::filesystem::remove(entry);  // by hand, outside the program
  setOption(false, false);
  EXPECT_FALSE(std::filesystem::exists(entry));

  main_->RunExitSequence();
  const std::string ini = ReadAll(dir_.Path() + "/sorvik.ini");
  EXPECT_EQ(ini.find("ogin"), std::string::npos) << ini;
}

// An entry that cannot be written is reported in a message box, and the
// other options of the same dialog are applied all the same.
TEST_F(Window, StartAtLoginReportsAnUnwritableEntry) {
  Open(Ini({}));
  dir_.WriteFile("config", "a file where the folder would be");
  main_->LoginEntryFile = dir_.Path() + "/config/autostart/sorvik.desktop";
  QString shown;
  main_->BeforeDialog = [&](QDialog& d) {
    if (auto* box = qobject_cast<QMessageBox*>(&d)) {
      shown = box->text();
      d.accept();
      return;
    }
    d.findChild<QCheckBox*>("cbStartAtLogin")->setChecked(true);
    d.findChild<QCheckBox*>("cbStartToTray")->setChecked(true);
    d.accept();
  };
  Action("toolsOptions")->trigger();
  EXPECT_TRUE(shown.contains(QStringLiteral("config/autostart")) && shown.contains(QStringLiteral("Not a directory")))
      << shown.toStdString();
  EXPECT_TRUE(main_->Core().Options().StartToTray);
}

// Started by the login entry, the window opens in the tray only with
// "StartToTray" on and a tray present; any other start shows it.
TEST_F(Window, LoginStartOpensInTheTrayWithStartToTray) {
  struct Row {
    const char* name;
    bool atLogin;
    bool startToTray;
    bool tray;
    bool visible;
  };
  const Row rows[] = {{"login", true, true, true, false},
                      {"loginWithoutTray", true, true, false, true},
                      {"loginWithoutStartToTray", true, false, true, true},
                      {"ordinaryStart", false, true, true, true}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    tray_ = r.tray;
    Open(Ini({}, std::string("AutostartDelay=30000\r\nMaximized=1\r\nStartToTray=") + (r.startToTray ? "1" : "0") +
                     "\r\n"));
    main_->ShowAtStart(r.atLogin);
    QCoreApplication::processEvents();
    EXPECT_EQ(main_->isVisible(), r.visible);
    main_->ShowWindowOp();  // "Show Window" from the tray
    EXPECT_TRUE(main_->isVisible());
    EXPECT_TRUE(main_->isMaximized());
    main_->RunExitSequence();
    main_.reset();
  }
}

// The program icon is the installed theme icon when there is one.
TEST(ProgramIconTest, InstalledThemeIconWinsOverTheDrawnOne) {
  test::TempDir dir;
  const std::string theme = dir.Path() + "/icons/hicolor";
  std::filesystem::create_directories(theme + "/48x48/apps");
  dir.WriteFile("icons/hicolor/index.theme",
                "[Icon Theme]\nName=Hicolor\nDirectories=48x48/apps\n\n[48x48/apps]\nSize=48\nType=Fixed\n");
  QImage red(48, 48, QImage::Format_ARGB32);
  red.fill(QColor(255, 0, 0));
  ASSERT_TRUE(red.save(QString::fromStdString(theme + "/48x48/apps/sorvik.png")));

  const QStringList oldPaths = QIcon::themeSearchPaths();
  const QString oldTheme = QIcon::themeName();
  auto centre = [] { return ProgramIcon().pixmap(48, 48).toImage().pixelColor(24, 24); };
  QIcon::setThemeSearchPaths({QString::fromStdString(dir.Path() + "/empty")});
  QIcon::setThemeName(QStringLiteral("hicolor"));
  EXPECT_NE(centre(), QColor(255, 0, 0));  // drawn: the dark tunnel mouth
  EXPECT_FALSE(ProgramIcon().isNull());
  QIcon::setThemeSearchPaths({QString::fromStdString(dir.Path() + "/icons")});
  QIcon::setThemeName(QStringLiteral("hicolor"));
  EXPECT_EQ(centre(), QColor(255, 0, 0));
  QIcon::setThemeSearchPaths(oldPaths);
  QIcon::setThemeName(oldTheme);
}

// ---- tray ----

TEST_F(Window, TrayOperations) {
  Open(Ini({}));
  main_->show();
  QMenu* menu = main_->TrayMenu();
  QStringList items;
  for (QAction* a : menu->actions()) items << (a->isSeparator() ? QStringLiteral("-") : a->text());
  EXPECT_EQ(items, QStringList({"Show Window", "Hide Window", "-", "Exit"}));
  EXPECT_EQ(menu->defaultAction()->text(), "Show Window");
  EXPECT_TRUE(menu->defaultAction()->font().bold());

  main_->ToggleOp();
  EXPECT_FALSE(main_->isVisible());
  main_->ToggleOp();
  EXPECT_TRUE(main_->isVisible());
  main_->findChild<QAction*>("trayHide")->trigger();
  EXPECT_FALSE(main_->isVisible());
  main_->findChild<QAction*>("trayHide")->trigger();
  EXPECT_FALSE(main_->isVisible());  // stays hidden
  main_->findChild<QAction*>("trayShow")->trigger();
  EXPECT_TRUE(main_->isVisible());
  EXPECT_FALSE(main_->isMinimized());

  // Minimizing hides to the tray.
  main_->showMinimized();
  ASSERT_TRUE(PumpUntil([&] { return !main_->isVisible(); }));
  main_->ShowWindowOp();
  EXPECT_TRUE(main_->isVisible());
  EXPECT_FALSE(main_->isMinimized());

  // Without a tray the window never becomes invisible.
  tray_ = false;
  main_->HideWindowOp();
  EXPECT_TRUE(main_->isVisible());
  main_->showMinimized();
  ASSERT_TRUE(PumpUntil([&] { return main_->isMinimized(); }));
  ASSERT_TRUE(Settle());  // whatever the minimize set going has run
  EXPECT_TRUE(main_->isVisible());
}

// While a dialog or question is open, the tray still brings the window back
// with the dialog on top, and "Exit" cancels the dialog, then saves and ends.
TEST_F(Window, TrayWorksWhileADialogIsOpen) {
  Open(Ini({Tunnel("a", 1, 1)}));
  main_->show();
  main_->SetFocusedRow(0);
  // The tray menu has no parent: a dialog modal to the window never blocks it.
  EXPECT_EQ(main_->TrayMenu()->parent(), nullptr);

  QPointer<QWidget> dialog;
  bool dialogModalToWindow = false, backOnTop = false, clickBack = false;
  QTimer::singleShot(0, [&] {
    PumpUntil([&] { return !main_->OpenDialogs().isEmpty(); });
    dialog = main_->OpenDialogs().value(0);
    if (!dialog) return;
    dialogModalToWindow = dialog->windowModality() == Qt::WindowModal;
    dialog->findChild<QLineEdit*>("edCaption")->setText("changed");
    // The dialog is minimized and the window went to the tray with it.
    dialog->showMinimized();
    main_->HideWindowOp();
    PumpUntil([&] { return !main_->isVisible(); });
    main_->findChild<QAction*>("trayShow")->trigger();
    backOnTop = main_->isVisible() && dialog->isVisible() && !dialog->isMinimized();
    // A click on the icon while the dialog is open shows, never hides.
    main_->ToggleOp();
    clickBack = main_->isVisible() && dialog->isVisible();
    main_->findChild<QAction*>("trayExit")->trigger();
  });
  Action("tnlProperties")->trigger();  // runs the dialog until Exit cancels it
  EXPECT_TRUE(dialogModalToWindow);
  EXPECT_TRUE(backOnTop);
  EXPECT_TRUE(clickBack);
  EXPECT_TRUE(dialog.isNull() || !dialog->isVisible());
  ASSERT_TRUE(PumpUntil([&] { return main_->ExitDone(); }));
  // Saved, without the cancelled dialog's change.
  const std::string ini = ReadAll(dir_.Path() + "/sorvik.ini");
  EXPECT_NE(ini.find("TunnelCaption=a\r\n"), std::string::npos) << ini;
}

TEST_F(Window, TrayExitWhileAQuestionIsOpenCancelsIt) {
  Open(Ini({Tunnel("a", 1, 1), Tunnel("b", 1, 1)}));
  main_->show();
  main_->SetFocusedRow(1);
  bool asked = false;
  QTimer::singleShot(0, [&] {
    PumpUntil([&] { return !main_->OpenDialogs().isEmpty(); });
    asked = !main_->OpenDialogs().isEmpty() && main_->OpenDialogs()[0]->windowModality() == Qt::WindowModal;
    main_->findChild<QAction*>("trayExit")->trigger();
  });
  Action("tnlRemove")->trigger();  // a real question box, until Exit
  EXPECT_TRUE(asked);
  ASSERT_TRUE(PumpUntil([&] { return main_->ExitDone(); }));
  // Saved, with the tunnel the cancelled question was about.
  const std::string ini = ReadAll(dir_.Path() + "/sorvik.ini");
  EXPECT_NE(ini.find("[Tunnel:1]\r\n"), std::string::npos) << ini;
}

// ---- unexpected errors ----

TEST_F(Window, UnexpectedErrorsAppendToErrorLog) {
  dir_.WriteFile("error.log", "earlier line\r\n");
  Open(Ini({}));
  main_->Asker().SetNextAnswers({false, false});
  main_->Guard([] { throw EIdSocketError(10061, "Socket Error # 10061\r\nConnection refused."); });
  main_->Guard([] { throw std::runtime_error("second"); });
  const std::string log = ReadAll(dir_.Path() + "/error.log");
  EXPECT_EQ(log.rfind("earlier line\r\n", 0), 0u);
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(log.substr(start, end - start));
  }
  // The first message holds a CR LF of its own; the three lines after "earlier line":
  ASSERT_EQ(lines.size(), 4u) << log;
  EXPECT_NE(lines[1].find(" : EIdSocketError - Socket Error # 10061"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[2], "Connection refused.");
  EXPECT_NE(lines[3].find(" - second"), std::string::npos) << lines[3];
  ASSERT_EQ(main_->Asker().Asked().size(), 2u);
  EXPECT_EQ(main_->Asker().Asked()[1].Kind, TAskKind::Error);
  EXPECT_EQ(main_->Asker().Asked()[1].Text, "Unexpected error. See \"error.log\" file for details.\r\nClose application?");
  EXPECT_FALSE(main_->ExitDone());

  main_->Asker().SetNextAnswers({true});
  main_->Guard([] { throw std::runtime_error("third"); });
  EXPECT_TRUE(main_->ExitDone());
}

// ---- events ----

TEST_F(Window, StopDuringAnEventFloodNeverDeadlocks) {
  test::EchoServer echo;
  const uint16_t local = test::FreePort();
  Open(Ini({Tunnel("flood", echo.Port(), local)}, "LimitLog=1\r\nLimitLogINT=50\r\nAutostartDelay=30000\r\n"));
  main_->show();
  main_->SetFocusedRow(0);
  for (int round = 0; round < 3; ++round) {
    Action("tnlRun")->trigger();
    ASSERT_TRUE(At(0).IsRunning());
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
      clients.emplace_back([&] {
        while (!stop) {
          test::BlockingClient c(local, "127.0.0.1", 1000);
          c.SendAll("x", 500);
          c.RecvExact(1, 500);
        }
      });
    }
    ASSERT_TRUE(PumpUntil([&] { return main_->LogView()->document()->blockCount() > 20; }, 10000));
    // The worker threads are waiting for this thread right now; the stop must
    // not wait for them forever.
    main_->Asker().SetNextAnswers({true});
    const auto begin = std::chrono::steady_clock::now();
    Action("tnlStop")->trigger();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
    EXPECT_FALSE(At(0).IsRunning());
    stop = true;
    for (auto& t : clients) t.join();
  }
}

// ---- the settings file in trouble ----

// A save that fails at a close by the user shows the reason itself; No keeps
// the program running with the old file intact, so that the user can free
// space first; the next close then saves.
TEST(WindowSettings, FailedSaveShowsTheReasonAndNoKeepsTheWindowOpen) {
  test::SmallTmpfs disk(256);
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  const std::string dir = disk.Path() + "/";
  const std::string before = Ini({Tunnel("kept", 1, 2)});
  { std::ofstream(dir + "sorvik.ini", std::ios::binary) << before; }
  TfMain main(dir);
  main.show();
  main.Core().AddTunnel(WithServer("added.example"));
  ASSERT_TRUE(disk.Fill("filler"));

  main.Asker().SetNextAnswers({false});
  EXPECT_FALSE(main.close());
  EXPECT_FALSE(main.ExitDone());
  EXPECT_TRUE(main.isVisible());
  ASSERT_EQ(main.Asker().Asked().size(), 1u);
  const std::string text = main.Asker().Asked()[0].Text;
  EXPECT_EQ(main.Asker().Asked()[0].Kind, TAskKind::Error);
  EXPECT_EQ(text.rfind("Cannot save settings file \"" + dir + "sorvik.ini\": ", 0), 0u) << text;
  EXPECT_NE(text.find("No space left on device"), std::string::npos) << text;
  EXPECT_NE(text.find("The settings file is unchanged"), std::string::npos) << text;
  EXPECT_EQ(text.find("error.log"), std::string::npos) << text;
  EXPECT_EQ(ReadAll(dir + "sorvik.ini"), before);
  EXPECT_EQ(main.Core().TunnelCount(), 2);

  // No empty error.log pretends to hold the details.
  EXPECT_FALSE(std::filesystem::exists(dir + "error.log"));
  // Space freed: the next close saves everything, the added tunnel included.
  std::filesystem::remove(dir + "filler");
  EXPECT_TRUE(main.close());
  EXPECT_TRUE(main.ExitDone());
  EXPECT_EQ(main.Asker().Asked().size(), 1u);
  const std::string saved = ReadAll(dir + "sorvik.ini");
  EXPECT_NE(saved.find("TunnelCaption=kept"), std::string::npos) << saved;
  EXPECT_NE(saved.find("[Tunnel:1]\r\nServer=added.example\r\n"), std::string::npos) << saved;
}

// Yes ends the program without a save and leaves the old file as it was.
TEST(WindowSettings, FailedSaveAnsweredYesEndsWithTheOldFile) {
  test::SmallTmpfs disk(256);
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  const std::string dir = disk.Path() + "/";
  const std::string before = Ini({Tunnel("kept", 1, 2)});
  { std::ofstream(dir + "sorvik.ini", std::ios::binary) << before; }
  TfMain main(dir);
  main.show();
  main.Core().AddTunnel(WithServer("added.example"));
  ASSERT_TRUE(disk.Fill("filler"));
  main.Asker().SetNextAnswers({true});
  EXPECT_TRUE(main.close());
  EXPECT_TRUE(main.ExitDone());
  ASSERT_EQ(main.Asker().Asked().size(), 1u);
  EXPECT_NE(main.Asker().Asked()[0].Text.find("No space left on device"), std::string::npos)
      << main.Asker().Asked()[0].Text;
  EXPECT_EQ(ReadAll(dir + "sorvik.ini"), before);
}

// A read-only file is left alone; the user hears of it once: in the log at
// start, and at exit only when the session changed something it would keep.
TEST(WindowSettings, ReadOnlyFileIsLeftAloneAndSaidOnce) {
  for (bool change : {false, true}) {
    SCOPED_TRACE(change);
    test::TempDir data;
    const std::string before = Ini({Tunnel("frozen", 1, 2)});
    const std::string path = data.WriteFile("sorvik.ini", before);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    TfMain main(WithSlash(data.Path()));
    main.show();
    const QString log = main.LogView()->toPlainText();
    EXPECT_TRUE(log.contains(QStringLiteral("is read-only: it is left as it is"))) << log.toStdString();
    if (change) main.Core().AddTunnel(WithServer("lost.example"));
    main.Asker().SetNextAnswers({true});
    EXPECT_TRUE(main.close());
    EXPECT_EQ(ReadAll(path), before);
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    if (change) {
      ASSERT_EQ(main.Asker().Asked().size(), 1u);
      EXPECT_EQ(main.Asker().Asked()[0].Kind, TAskKind::Information);
      EXPECT_NE(main.Asker().Asked()[0].Text.find("is read-only, so it was left as it is: the settings of this "
                                                  "session were not saved."),
                std::string::npos)
          << main.Asker().Asked()[0].Text;
    } else {
      EXPECT_TRUE(main.Asker().Asked().empty());
    }
  }
}

// The unreadable file: a notice once the window is up, the file never
// written over, the session's settings saved beside it.
TEST(WindowSettings, UnreadableFileIsNoticedAndSavedBeside) {
  test::TempDir data;
  std::filesystem::create_directory(data.Path() + "/sorvik.ini");  // not a regular file
  TfMain main(WithSlash(data.Path()));
  main.Asker().SetNextAnswers({true});
  main.show();
  ASSERT_TRUE(PumpUntil([&] { return !main.Asker().Asked().empty(); }));
  EXPECT_EQ(main.Asker().Asked()[0].Kind, TAskKind::Warning);
  const std::string text = main.Asker().Asked()[0].Text;
  EXPECT_EQ(text.rfind("Cannot read the settings file \"" + WithSlash(data.Path()) + "sorvik.ini\": it is a directory.",
                       0),
            0u)
      << text;
  EXPECT_NE(text.find("saved to \"" + WithSlash(data.Path()) + "sorvik.ini.new\" instead."), std::string::npos) << text;
  main.Core().AddTunnel(WithServer("kept.example"));
  EXPECT_TRUE(main.close());
  EXPECT_TRUE(std::filesystem::is_directory(data.Path() + "/sorvik.ini"));
  EXPECT_NE(ReadAll(data.Path() + "/sorvik.ini.new").find("Server=kept.example"), std::string::npos);
  EXPECT_EQ(main.Asker().Asked().size(), 1u);
}

// The limit counts the lines the window holds: after the user clears the
// text, it fills up to the limit again instead of showing one line.
TEST_F(Window, LogLimitCountsTheLinesTheWindowHolds) {
  Open(Ini({}, "LimitLog=1\r\nLimitLogINT=3\r\nAutostartDelay=30000\r\n"));
  main_->show();
  for (int i = 0; i < 10; ++i) main_->Core().AppendLine("old " + std::to_string(i));
  ASSERT_EQ(LogLines().size(), 4u);
  // Select all, delete: as a user does it.
  main_->LogView()->setFocus();
  QTest::keyClick(main_->LogView(), Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(main_->LogView(), Qt::Key_Delete);
  ASSERT_TRUE(main_->LogView()->toPlainText().isEmpty());
  for (int i = 0; i < 6; ++i) main_->Core().AppendLine("new " + std::to_string(i));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"new 2", "new 3", "new 4", "new 5"}));
}

}  // namespace
}  // namespace sorvik
