#include "app/gui/tf_main.h"

#include "app/gui/gui_text.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <QHBoxLayout>
#include <QWindowStateChangeEvent>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/gui/error_log.h"
#include "app/gui/icons.h"
#include "app/gui/secret_store.h"
#include "app/gui/tf_debug.h"
#include "tunnel/connection_report.h"
#include "app/gui/tf_options.h"
#include "app/gui/tf_properties.h"
#include "app/gui/tunnel_list.h"
#include "app/core/documentation.h"
#include "app/core/login_entry.h"
#include "app/settings/settings.h"
#include "app/version.h"

namespace sorvik {
namespace {

// The designed bounds: client area and position when no stored geometry applies.
constexpr int kDesignedLeft = 260;
constexpr int kDesignedTop = 158;
constexpr int kDesignedWidth = 516;
constexpr int kDesignedHeight = 372;
constexpr int kMinWidth = 400;
constexpr int kMinHeight = 200;

const char* const kHelpText =
    "<h3>Sorvik</h3>"
    "<p>Sorvik maps local TCP ports to remote hosts. Each tunnel listens on one local port "
    "and relays every connection it accepts to its remote host and port, directly or through "
    "one or two SOCKS or HTTP proxies, optionally speaking TLS to the remote host.</p>"
    "<p><b>Tunnel &gt; Add tunnel</b> (Ctrl+A) defines a tunnel; <b>Properties</b> (F5) edits the "
    "selected one. <b>Run Tunnel</b> and <b>Stop Tunnel</b> start and stop it; the Status column "
    "shows OK, Stopped or Error.</p>"
    "<p>The <b>Log</b> tab lists what the connections do: name resolution, connects, proxy and TLS "
    "steps, certificate checks and errors.</p>"
    "<p>Tunnels marked <i>Autostart</i> start a few seconds after the program (Tools &gt; Options sets "
    "the delay). <b>Show Tunnel Connections</b> (F3) lists the open connections of a tunnel.</p>"
    "<p>Minimizing the window hides it to the notification area; click the icon to bring it back. "
    "All settings are kept in \"sorvik.ini\" in the data directory and written when the program ends; "
    "<b>man sorvik.ini</b> describes every key of it, and <b>Program &gt; Homepage</b> names the guide.</p>";

// Stored bounds brought into the available area (without panels and docks)
// of the screen they lie on, or of the primary screen when they lie on none:
// a stored size never exceeds that area (a huge one would freeze the
// program allocating its backing store), and the window is never placed
// where none of it can be seen. Bounds that fit come back unchanged. The
// minimum size holds even on a smaller screen.
QRect FitToScreen(int32_t left, int32_t top, int32_t width, int32_t height) {
  const int64_t w0 = std::max<int64_t>(width, kMinWidth);
  const int64_t h0 = std::max<int64_t>(height, kMinHeight);
  const auto center = [](int64_t start, int64_t size) {
    return static_cast<int>(std::clamp<int64_t>(start + size / 2, INT32_MIN / 2, INT32_MAX / 2));
  };
  QScreen* screen = QGuiApplication::screenAt(QPoint(center(left, w0), center(top, h0)));
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return QRect(kDesignedLeft, kDesignedTop, kDesignedWidth, kDesignedHeight);
  const QRect area = screen->availableGeometry();
  const int64_t w = std::clamp<int64_t>(w0, kMinWidth, std::max<int64_t>(area.width(), kMinWidth));
  const int64_t h = std::clamp<int64_t>(h0, kMinHeight, std::max<int64_t>(area.height(), kMinHeight));
  const int64_t x = std::clamp<int64_t>(left, area.left(), std::max<int64_t>(area.left(), area.left() + area.width() - w));
  const int64_t y = std::clamp<int64_t>(top, area.top(), std::max<int64_t>(area.top(), area.top() + area.height() - h));
  return QRect(static_cast<int>(x), static_cast<int>(y), static_cast<int>(w), static_cast<int>(h));
}

// Follows the reason of a failed save in the question asked at exit.
constexpr const char* kSaveFailedQuestion =
    "\r\n\r\nThe settings file is unchanged; the changes of this session are not saved.\r\n"
    "Close application anyway?";

}  // namespace

TfMain::TfMain(const std::string& dataDir, QWidget* parent)
    : QMainWindow(parent),
      LoginEntryFile(LoginEntryPath()),
      timer_([this] { Guard([this] { core_->AutostartTimerFired(); }); }),
      data_dir_(dataDir) {
  setObjectName(QStringLiteral("fMain"));
  core_ = std::make_unique<AppCore>(dispatcher_, asker_, static_cast<IDisplay&>(*this), timer_);
  asker_.SetOwner(this);
  const char* mirror = std::getenv(kMirrorLogVariable);
  mirror_log_ = mirror != nullptr && std::string(mirror) == "1";

  // The application's names before its first native window (the tray icon's
  // on X11): the X11 window class is taken once, from the application name,
  // and must match the menu entry's StartupWMClass; the desktop file name is
  // the Wayland app id and links the windows to sorvik.desktop and its icon.
  QApplication::setApplicationName(QLatin1String(kProductName));
  QApplication::setApplicationDisplayName(QString());
  QGuiApplication::setDesktopFileName(QStringLiteral("sorvik"));

  BuildActions();
  BuildMenus();
  BuildCentral();
  BuildTray();
  // The title names the version, so a user's report shows which one it was.
  setWindowTitle(QStringLiteral("%1 %2").arg(QLatin1String(kProductName), QLatin1String(kProductVersion)));
  setWindowIcon(ProgramIcon());
  QApplication::setWindowIcon(ProgramIcon());
  setMinimumSize(kMinWidth, kMinHeight);
  resize(kDesignedWidth, kDesignedHeight);
  move(kDesignedLeft, kDesignedTop);
  // The log view is attached before the settings load, so that whatever the
  // load reports reaches the window.
  core_->Log().SetView(this);
  // A tunnel that cannot start says why in the status bar and in its row's
  // tool tip, whatever its log switches say.
  core_->OnStartFailure = [this](const std::string& caption, const std::string& reason) {
    last_failure_caption_ = caption;
    last_failure_reason_ = reason;
    ShowRunProblem();
  };
  Guard([this] { core_->Load(data_dir_); });
  SetRowCount(core_->TunnelCount());
  ApplyStoredLayout();
  ReportLoad();
  LoadProxyPasswords();
  // The first row is focused, so that Run and Properties work at once.
  SetFocusedRow(core_->TunnelCount() > 0 ? 0 : -1);
  // Status tips need no wiring: QMainWindow shows each in its status bar.
  // Autostart is armed last, when the list it starts from is complete.
  Guard([this] { core_->ArmAutostart(); });

  if (auto* app = dynamic_cast<TApplication*>(QCoreApplication::instance())) {
    app->SetErrorHandler([this](const std::exception& e) { HandleUnexpectedError(e); });
  }
}

TfMain::~TfMain() {
  if (auto* app = dynamic_cast<TApplication*>(QCoreApplication::instance())) app->SetErrorHandler({});
  if (!exit_done_) {
    exit_done_ = true;
    try {
      StoreLayout();
      const TSaveOutcome outcome = core_->Save();
      if (!outcome.Message.empty()) std::fprintf(stderr, "sorvik: %s\n", outcome.Message.c_str());
    } catch (const std::exception& e) {
      std::fprintf(stderr, "sorvik: %s\n", e.what());
    } catch (...) {
    }
  }
  core_->Log().SetView(nullptr);
  core_.reset();  // releases the tunnels before the dispatcher goes
  if (tray_ != nullptr) tray_->setContextMenu(nullptr);
  delete tray_menu_;
}

// ---- building ----

void TfMain::BuildActions() {
  auto make = [this](const char* name, const char* caption, const char* hint, TCommandPicture picture,
                     void (TfMain::*slot)()) {
    auto* action = new QAction(CommandIcon(picture), QString::fromLatin1(caption), this);
    action->setObjectName(QString::fromLatin1(name));
    action->setStatusTip(QString::fromLatin1(hint));
    action->setToolTip(QString::fromLatin1(hint));
    connect(action, &QAction::triggered, this, [this, slot] { Guard([this, slot] { (this->*slot)(); }); });
    return action;
  };
  tnlRun_ = make("tnlRun", "&Run Tunnel", "Run selected tunnel", TCommandPicture::Run, &TfMain::CmdRun);
  tnlStop_ = make("tnlStop", "&Stop Tunnel", "Stop selected tunnel", TCommandPicture::Stop, &TfMain::CmdStop);
  tnlProperties_ = make("tnlProperties", "&Properties", "Set properties of selected tunnel",
                        TCommandPicture::Properties, &TfMain::CmdProperties);
  tnlProperties_->setShortcut(QKeySequence(Qt::Key_F5));
  tnlAdd_ = make("tnlAdd", "&Add tunnel", "Add new tunnel", TCommandPicture::Add, &TfMain::CmdAdd);
  tnlAdd_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
  tnlRemove_ = make("tnlRemove", "R&emove tunnel", "Remove selected tunnel", TCommandPicture::Remove,
                    &TfMain::CmdRemove);
  toolsOptions_ = make("toolsOptions", "&Options", "Main program options", TCommandPicture::Options,
                       &TfMain::CmdOptions);
  toolsOptions_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  tnlDebug_ = make("tnlDebug", "&Show Tunnel Connections", "Selected Tunnel Connections", TCommandPicture::Debug,
                   &TfMain::CmdDebug);
  tnlDebug_->setShortcut(QKeySequence(Qt::Key_F3));
  tnlTest_ = make("tnlTest", "&Test Tunnel", "Test the way of the selected tunnel to its remote host",
                  TCommandPicture::Debug, &TfMain::CmdTest);
  tnlRunAutostart_ = make("tnlRunAutostart", "S&tart 'auto' tunnels", "Start all tunnels marked for autostart",
                          TCommandPicture::Autostart, &TfMain::CmdRunAutostart);
  prgHelp_ = make("prgHelp", "Help", "", TCommandPicture::Help, &TfMain::CmdHelp);
  prgHelp_->setShortcut(QKeySequence(Qt::Key_F1));
  prgHome_ = make("prgHome", "Homepage", "", TCommandPicture::About, &TfMain::CmdHomepage);
  prgHome_->setIcon(QIcon());
  prgSupport_ = make("prgSupport", "Support", "", TCommandPicture::About, &TfMain::CmdSupport);
  prgSupport_->setIcon(QIcon());
  prgAbout_ = make("prgAbout", "About", "", TCommandPicture::About, &TfMain::CmdAbout);
  // The tool bar shows only the pictures; its buttons carry the plain captions as tool tips.
  for (QAction* a : {tnlRun_, tnlStop_, tnlProperties_, tnlAdd_, tnlRemove_, tnlDebug_, tnlRunAutostart_}) {
    a->setToolTip(a->text().remove(QLatin1Char('&')));
  }
}

void TfMain::BuildMenus() {
  QMenu* tunnel = menuBar()->addMenu(QStringLiteral("&Tunnel"));
  tunnel->setObjectName(QStringLiteral("mnTunnel"));
  tunnel->addActions({tnlRun_, tnlStop_, tnlProperties_, tnlAdd_, tnlRemove_, tnlTest_});
  tunnel_menu_ = tunnel;
  QMenu* tools = menuBar()->addMenu(QStringLiteral("T&ools"));
  tools->setObjectName(QStringLiteral("mnTools"));
  tools->addActions({toolsOptions_, tnlDebug_, tnlRunAutostart_});
  QMenu* program = menuBar()->addMenu(QStringLiteral("&Program"));
  program->setObjectName(QStringLiteral("mnProgram"));
  program->addActions({prgHelp_, prgHome_, prgSupport_});
  program->addSeparator();
  program->addAction(prgAbout_);
}

void TfMain::BuildCentral() {
  tabs_ = new QTabWidget(this);
  tabs_->setObjectName(QStringLiteral("pcMain"));

  auto* tunnels = new QWidget(tabs_);
  tunnels->setObjectName(QStringLiteral("tsTunnels"));
  tool_bar_ = new QToolBar(tunnels);
  tool_bar_->setObjectName(QStringLiteral("tbTunnels"));
  tool_bar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
  tool_bar_->setIconSize(QSize(24, 24));
  tool_bar_->addActions({tnlRun_, tnlStop_});
  tool_bar_->addSeparator();
  tool_bar_->addActions({tnlRunAutostart_, tnlAdd_, tnlRemove_, tnlProperties_, tnlDebug_});

  model_ = new TTunnelModel(*core_, this);
  list_ = new QTableView(tunnels);
  list_->setObjectName(QStringLiteral("tnListView"));
  list_->setModel(model_);
  list_->setItemDelegate(new TTunnelDelegate(list_));
  list_->setShowGrid(true);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSortingEnabled(false);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setWordWrap(false);
  list_->setIconSize(QSize(16, 16));
  list_->verticalHeader()->hide();
  list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 6);
  QHeaderView* header = list_->horizontalHeader();
  header->setSectionsClickable(false);
  header->setSortIndicatorShown(false);
  header->setHighlightSections(false);
  header->setMinimumSectionSize(40);
  // "Proxy type" fills what the other columns leave.
  header->setSectionResizeMode(kColProxyType, QHeaderView::Stretch);
  for (int c = 0; c < kColumnCount; ++c) {
    const TColumnSpec& column = kColumns[static_cast<size_t>(c)];
    if (column.Width > 0) list_->setColumnWidth(c, column.Width);
  }
  // Each column keeps its own minimum width.
  connect(header, &QHeaderView::sectionResized, this, [this](int column, int, int size) {
    if (column < 0 || column >= kColumnCount) return;
    const int min = kColumns[static_cast<size_t>(column)].MinWidth;
    if (size < min && column != kColProxyType) list_->setColumnWidth(column, min);
  });
  connect(list_->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
    list_->viewport()->update();
    ApplyCommandStates();
  });
  connect(list_, &QTableView::doubleClicked, this, [this] { Guard([this] { CmdProperties(); }); });
  // Enter opens Properties and Delete removes, as the commands would (a
  // disabled command does nothing); a right click offers the Tunnel menu.
  list_->installEventFilter(this);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    Guard([this, pos] {
      const QModelIndex at = list_->indexAt(pos);
      if (at.isValid()) SetFocusedRow(at.row());
      std::unique_ptr<QMenu> menu(ListContextMenu());
      menu->exec(list_->viewport()->mapToGlobal(pos));
    });
  });

  auto* tunnelsLayout = new QVBoxLayout(tunnels);
  tunnelsLayout->setContentsMargins(2, 2, 2, 2);
  tunnelsLayout->setSpacing(2);
  tunnelsLayout->addWidget(tool_bar_);
  tunnelsLayout->addWidget(list_, 1);
  tabs_->addTab(tunnels, QStringLiteral("Tunnels"));

  auto* logPage = new QWidget(tabs_);
  logPage->setObjectName(QStringLiteral("tsLog"));
  log_view_ = new QPlainTextEdit(logPage);
  log_view_->setObjectName(QStringLiteral("mmGlobalLog"));
  log_view_->setLineWrapMode(QPlainTextEdit::NoWrap);
  log_view_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  log_view_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  KeepLogCursorInPlace();
  // Its own context menu: the log is a record to copy, search, save or clear.
  log_view_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(log_view_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    Guard([this, pos] {
      std::unique_ptr<QMenu> menu(LogContextMenu());
      menu->exec(log_view_->viewport()->mapToGlobal(pos));
    });
  });
  // The find bar below the log: Enter finds the next match, Shift+Enter the
  // one before, Escape closes the bar.
  log_find_bar_ = new QWidget(logPage);
  log_find_bar_->setObjectName(QStringLiteral("pnLogFind"));
  auto* findLayout = new QHBoxLayout(log_find_bar_);
  findLayout->setContentsMargins(0, 0, 0, 0);
  findLayout->addWidget(new QLabel(QStringLiteral("Find:"), log_find_bar_));
  log_find_ = new QLineEdit(log_find_bar_);
  log_find_->setObjectName(QStringLiteral("edLogFind"));
  log_find_->setClearButtonEnabled(true);
  findLayout->addWidget(log_find_, 1);
  auto* findResult = new QLabel(log_find_bar_);
  findResult->setObjectName(QStringLiteral("lbLogFindResult"));
  findLayout->addWidget(findResult);
  auto* findPrevious = new QPushButton(QStringLiteral("Previous"), log_find_bar_);
  findPrevious->setObjectName(QStringLiteral("btnLogFindPrevious"));
  auto* findNext = new QPushButton(QStringLiteral("Next"), log_find_bar_);
  findNext->setObjectName(QStringLiteral("btnLogFindNext"));
  auto* findClose = new QPushButton(QStringLiteral("Close"), log_find_bar_);
  findClose->setObjectName(QStringLiteral("btnLogFindClose"));
  findLayout->addWidget(findPrevious);
  findLayout->addWidget(findNext);
  findLayout->addWidget(findClose);
  log_find_->installEventFilter(this);
  connect(log_find_, &QLineEdit::returnPressed, this, [this] { LogFind(false); });
  connect(findNext, &QPushButton::clicked, this, [this] { LogFind(false); });
  connect(findPrevious, &QPushButton::clicked, this, [this] { LogFind(true); });
  connect(findClose, &QPushButton::clicked, this, [this] { CloseLogFind(); });
  log_find_bar_->hide();

  logFind_ = new QAction(QString::fromUtf8("&Find…"), logPage);
  logFind_->setObjectName(QStringLiteral("logFind"));
  logFind_->setShortcut(QKeySequence::Find);
  logFind_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  connect(logFind_, &QAction::triggered, this, [this] {
    // A selection within one line is what to look for.
    const QString selected = log_view_->textCursor().selectedText();
    if (!selected.isEmpty() && !selected.contains(QChar::ParagraphSeparator)) log_find_->setText(selected);
    log_find_bar_->show();
    log_find_->setFocus();
    log_find_->selectAll();
  });
  logPage->addAction(logFind_);
  logSaveAs_ = new QAction(QString::fromUtf8("Save &As…"), logPage);
  logSaveAs_->setObjectName(QStringLiteral("logSaveAs"));
  // The platform's key, and Ctrl+Shift+S on every desktop (some have none).
  QList<QKeySequence> saveKeys = QKeySequence::keyBindings(QKeySequence::SaveAs);
  const QKeySequence ctrlShiftS(Qt::CTRL | Qt::SHIFT | Qt::Key_S);
  if (!saveKeys.contains(ctrlShiftS)) saveKeys.append(ctrlShiftS);
  logSaveAs_->setShortcuts(saveKeys);
  logSaveAs_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  connect(logSaveAs_, &QAction::triggered, this, [this] { Guard([this] { LogSaveAs(); }); });
  logPage->addAction(logSaveAs_);
  logWrap_ = new QAction(QStringLiteral("Wrap long lines"), logPage);
  logWrap_->setObjectName(QStringLiteral("logWrap"));
  logWrap_->setCheckable(true);
  connect(logWrap_, &QAction::toggled, this, [this](bool on) {
    log_view_->setLineWrapMode(on ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    core_->Options().LogWrap = on;
  });

  auto* logLayout = new QVBoxLayout(logPage);
  logLayout->setContentsMargins(2, 2, 2, 2);
  logLayout->addWidget(log_view_);
  logLayout->addWidget(log_find_bar_);
  tabs_->addTab(logPage, QStringLiteral("Log"));

  setCentralWidget(tabs_);
  status_bar_ = new QStatusBar(this);
  status_bar_->setObjectName(QStringLiteral("sbMainBottom"));
  setStatusBar(status_bar_);
  // A hint under the pointer covers this line for as long as it shows.
  run_problem_ = new QLabel(status_bar_);
  run_problem_->setObjectName(QStringLiteral("lbRunProblem"));
  run_problem_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  QPalette problemColours = run_problem_->palette();
  problemColours.setColor(QPalette::WindowText, QColor(192, 0, 0));
  run_problem_->setPalette(problemColours);
  status_bar_->addWidget(run_problem_, 1);
}

void TfMain::BuildTray() {
  tray_menu_ = new QMenu;
  tray_menu_->setObjectName(QStringLiteral("TrayPopupMenu"));
  // The actions belong to the window (the menu has no parent).
  trayShow_ = new QAction(QStringLiteral("Show Window"), this);
  tray_menu_->addAction(trayShow_);
  trayShow_->setObjectName(QStringLiteral("trayShow"));
  QFont bold = trayShow_->font();
  bold.setBold(true);
  trayShow_->setFont(bold);
  tray_menu_->setDefaultAction(trayShow_);
  trayHide_ = new QAction(QStringLiteral("Hide Window"), this);
  tray_menu_->addAction(trayHide_);
  trayHide_->setObjectName(QStringLiteral("trayHide"));
  tray_menu_->addSeparator();
  trayExit_ = new QAction(QStringLiteral("Exit"), this);
  tray_menu_->addAction(trayExit_);
  trayExit_->setObjectName(QStringLiteral("trayExit"));
  connect(trayShow_, &QAction::triggered, this, [this] { Guard([this] { ShowWindowOp(); }); });
  connect(trayHide_, &QAction::triggered, this, [this] { Guard([this] { HideWindowOp(); }); });
  connect(trayExit_, &QAction::triggered, this, [this] { Guard([this] { ExitOp(); }); });

  tray_ = new QSystemTrayIcon(ProgramIcon(), this);
  tray_->setObjectName(QStringLiteral("trayIcon"));
  tray_->setToolTip(QStringLiteral("%1 %2").arg(QLatin1String(kProductName), QLatin1String(kProductVersion)));
  tray_->setContextMenu(tray_menu_);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    Guard([this, reason] {
      if (reason == QSystemTrayIcon::Trigger) ToggleOp();
      else if (reason == QSystemTrayIcon::DoubleClick) ShowWindowOp();
    });
  });
  // Shown for the life of the program; Qt docks it again when a tray host appears or restarts.
  tray_->show();
}

// ---- window state and geometry ----

void TfMain::ApplyStoredLayout() {
  const TOptions& o = core_->Options();
  logWrap_->setChecked(o.LogWrap);
  try {
    if (o.ApplyStoredGeometry()) {
      const QRect bounds = FitToScreen(o.Left, o.Top, o.Width, o.Height);
      move(bounds.topLeft());
      resize(bounds.size());
    }
  } catch (...) {
  }
  // A stored width never hides the column's caption: the stored widths come
  // from fonts that may be narrower than this desktop's.
  const int widths[] = {o.tnCol1, o.tnCol2, o.tnCol3, o.tnCol4};
  QHeaderView* header = list_->horizontalHeader();
  for (int c = 0; c < 4; ++c) {
    const int fit = header->sectionSizeHint(c);
    list_->setColumnWidth(c, std::max({widths[c], kColumns[static_cast<size_t>(c)].MinWidth, fit}));
  }
  FitPortColumn();
}

// Proxy passwords of the tunnels that name a proxy user come from the
// desktop's secret store (those with a password file read it at each start).
// A store that cannot be reached says so in the log, once per tunnel and hop.
void TfMain::LoadProxyPasswords() {
  TSecretStore store;
  for (auto& tunnel : core_->Tunnels()) {
    if (tunnel->Settings.ProxyUser.empty() && tunnel->Settings.ProxyUser2.empty()) continue;
    const std::string lines = store.LoadPasswords(*tunnel);
    if (lines.empty()) continue;
    size_t from = 0;
    for (size_t at; (at = lines.find('\n', from)) != std::string::npos; from = at + 1) {
      core_->AppendLine(lines.substr(from, at - from));
    }
    core_->AppendLine(lines.substr(from));
  }
}

void TfMain::ReportLoad() {
  const TSettingsLoad& load = core_->LoadReport();
  std::vector<std::string> lines = load.Notes;
  if (!load.ReadOnly.empty()) lines.push_back(load.ReadOnly);
  if (load.State == TSettingsLoad::TState::Unreadable) {
    const std::string text = UnreadableText(load) +
                             " Sorvik starts without the tunnels and options stored in it and will not write over "
                             "that file; at exit, the settings of this session are saved to \"" +
                             BesidePath(load) + "\" instead.";
    core_->AppendLine(text);
    // Once the window is up (and in the event loop), so that the notice
    // has the window behind it.
    QTimer::singleShot(0, this, [this, text] {
      std::fprintf(stderr, "sorvik: %s\n", text.c_str());
      if (!exit_done_) Guard([this, &text] { asker_.Inform(kProductName, text, TAskKind::Warning); });
    });
  }
  for (const std::string& line : lines) {
    std::fprintf(stderr, "sorvik: %s\n", line.c_str());
    core_->AppendLine(line);
  }
}

void TfMain::ShowAtStart(bool atLogin) {
  const TOptions& o = core_->Options();
  if (atLogin && o.StartToTray && TrayAvailable()) {
    // Opens in the tray: "Show Window" later shows it in this state.
    if (o.Maximized) setWindowState(Qt::WindowMaximized);
    return;
  }
  if (o.Minimized) {
    showMinimized();
  } else if (o.Maximized) {
    showMaximized();
  } else {
    show();
  }
}

void TfMain::StoreLayout() {
  TOptions& o = core_->Options();
  o.Maximized = isMaximized();
  if (!o.Maximized) {
    const QRect normal = (isMinimized() || !isVisible()) && normalGeometry().isValid() ? normalGeometry() : geometry();
    const QPoint framePos = isVisible() && !isMinimized() ? pos() : normal.topLeft();
    o.Left = framePos.x();
    o.Top = framePos.y();
    o.Width = normal.width();
    o.Height = normal.height();
  }
  o.tnCol1 = list_->columnWidth(kColTunnel);
  o.tnCol2 = list_->columnWidth(kColPort);
  o.tnCol3 = list_->columnWidth(kColLocalPort);
  o.tnCol4 = list_->columnWidth(kColStatus);
  o.tnCol5 = list_->columnWidth(kColProxyType);
}

// ---- IDisplay ----

void TfMain::SetRowCount(int count) {
  model_->SetRowCount(count);
  FitPortColumn();
  ShowRunProblem();
}
// The remote port column is at least as wide as a marked port with its mark
// needs (it only grows): the mark never hides the port at the stored width.
void TfMain::FitPortColumn() {
  const int needed = static_cast<QAbstractItemView*>(list_)->sizeHintForColumn(kColPort);
  if (list_->columnWidth(kColPort) < needed) list_->setColumnWidth(kColPort, needed);
}

void TfMain::Repaint() {
  FitPortColumn();
  model_->RepaintAll();
  list_->viewport()->update();
  ShowRunProblem();
  FollowOpenProperties();
}
void TfMain::RepaintRow(int row) {
  model_->RepaintRow(row);
  ShowRunProblem();
  FollowOpenProperties();
}

// The failure reported last while its tunnel is still in the Error state,
// else the first tunnel in that state; with several, how many.
void TfMain::ShowRunProblem() {
  if (run_problem_ == nullptr) return;
  const auto reportedLast = [this](const TKestruneItem& t) {
    return t.RunError == last_failure_reason_ &&
           (t.Settings.TunnelCaption == last_failure_caption_ || ShownCaption(t.Settings) == last_failure_caption_);
  };
  const TKestruneItem* shown = nullptr;
  int failed = 0;
  for (const auto& t : core_->Tunnels()) {
    if (t->RunState != TRunState::Failed || t->RunError.empty()) continue;
    ++failed;
    if (shown == nullptr || (reportedLast(*t) && !reportedLast(*shown))) shown = t.get();
  }
  QString text;
  if (shown != nullptr) {
    text = QStringLiteral("Tunnel \"%1\" could not start: %2").arg(Q(ShownCaption(shown->Settings)), Q(shown->RunError));
    if (failed > 1) text += QStringLiteral(" (%1 tunnels show Error; each row's tool tip says why)").arg(failed);
  }
  if (run_problem_->text() != text) {
    run_problem_->setText(text);
    run_problem_->setToolTip(text);
  }
}

void TfMain::ApplyCommandStates() {
  const TCommandStates s = core_->CommandStatesFor(FocusedRow());
  tnlRun_->setEnabled(s.Run);
  tnlStop_->setEnabled(s.Stop);
  tnlProperties_->setEnabled(s.Properties);
  tnlRemove_->setEnabled(s.Remove);
  tnlTest_->setEnabled(core_->TunnelAt(FocusedRow()) != nullptr);  // running or not
}

void TfMain::HideWindow() { HideWindowOp(); }

// ---- ILogView ----

void TfMain::LineAppended(const std::string& line, bool /*droppedOldest*/) {
  try {
    // The limit counts the lines the window holds, which is not the log
    // buffer's count once the user has edited or cleared the text.
    const TLogBuffer& log = core_->Log();
    QTextDocument* document = log_view_->document();
    const int64_t held = document->isEmpty() ? 0 : document->blockCount();
    if (log.LimitOn() && held > static_cast<int64_t>(log.Limit())) {
      QTextCursor cursor(document->firstBlock());
      cursor.select(QTextCursor::BlockUnderCursor);
      cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor);
      cursor.removeSelectedText();
    }
    // The user's cursor and selection stay as they are: a cursor at the end
    // of the log would otherwise take the new line into its selection.
    const QTextCursor before = log_view_->textCursor();
    const int anchor = before.anchor();
    const int position = before.position();
    log_view_->appendPlainText(Q(line));
    QTextCursor after = log_view_->textCursor();
    if (after.anchor() != anchor || after.position() != position) {
      QScrollBar* h = log_view_->horizontalScrollBar();
      QScrollBar* v = log_view_->verticalScrollBar();
      const int hValue = h->value();
      const int vValue = v->value();
      after.setPosition(anchor);
      after.setPosition(position, QTextCursor::KeepAnchor);
      log_view_->setTextCursor(after);
      h->setValue(hValue);
      v->setValue(vValue);
    }
    // A Find's sideways scroll ends once the user has left the find field.
    if (find_scrolled_ && !log_find_->hasFocus()) {
      log_view_->horizontalScrollBar()->setValue(0);
      find_scrolled_ = false;
    }
    if (mirror_log_) {
      std::fprintf(stdout, "%s\n", line.c_str());
      std::fflush(stdout);
    }
  } catch (...) {
    // display failures are ignored
  }
}

// ---- focus ----

int TfMain::FocusedRow() const {
  const QModelIndex current = list_->currentIndex();
  return current.isValid() && current.row() < core_->TunnelCount() ? current.row() : -1;
}

void TfMain::SetFocusedRow(int row) {
  if (row < 0) {
    list_->selectionModel()->clearCurrentIndex();
  } else {
    list_->setCurrentIndex(model_->index(row, 0));
  }
  ApplyCommandStates();
}

QMenu* TfMain::LogContextMenu() {
  auto* menu = new QMenu(this);
  menu->setObjectName(QStringLiteral("pmLog"));
  QAction* copy = menu->addAction(QStringLiteral("&Copy"), log_view_, &QPlainTextEdit::copy);
  copy->setObjectName(QStringLiteral("logCopy"));
  copy->setShortcut(QKeySequence::Copy);
  copy->setEnabled(log_view_->textCursor().hasSelection());
  QAction* all = menu->addAction(QStringLiteral("Select &All"), log_view_, &QPlainTextEdit::selectAll);
  all->setObjectName(QStringLiteral("logSelectAll"));
  all->setEnabled(!log_view_->document()->isEmpty());
  menu->addSeparator();
  menu->addAction(logFind_);
  menu->addAction(logSaveAs_);
  menu->addAction(logWrap_);
  menu->addSeparator();
  QAction* clear = menu->addAction(QStringLiteral("C&lear"), this, [this] {
    log_view_->clear();
    KeepLogCursorInPlace();
  });
  clear->setObjectName(QStringLiteral("logClear"));
  clear->setEnabled(!log_view_->document()->isEmpty());
  return menu;
}

// The view's text cursor stays where it is when lines are appended at its
// position (the end of the log): otherwise it follows the end of every new
// line, and the view, which shows its cursor when it is first shown, would
// open scrolled sideways to the end of a long last line.
void TfMain::KeepLogCursorInPlace() {
  QTextCursor cursor = log_view_->textCursor();
  cursor.setKeepPositionOnInsert(true);
  log_view_->setTextCursor(cursor);
}

// Finds the find bar's text from the cursor on, around the end to the start
// (or the other way) once; the match is selected and scrolled into view.
void TfMain::LogFind(bool backwards) {
  auto* result = log_find_bar_->findChild<QLabel*>(QStringLiteral("lbLogFindResult"));
  const QString text = log_find_->text();
  if (text.isEmpty()) {
    result->clear();
    return;
  }
  const QTextDocument::FindFlags flags = backwards ? QTextDocument::FindBackward : QTextDocument::FindFlags();
  bool found = log_view_->find(text, flags);
  if (!found) {
    QTextCursor from = log_view_->textCursor();
    from.movePosition(backwards ? QTextCursor::End : QTextCursor::Start);
    log_view_->setTextCursor(from);
    found = log_view_->find(text, flags);
  }
  result->setText(found ? QString() : QStringLiteral("Not found"));
  find_scrolled_ = find_scrolled_ || log_view_->horizontalScrollBar()->value() != 0;
}

void TfMain::CloseLogFind() {
  log_find_bar_->hide();
  log_view_->setFocus();
  if (find_scrolled_) log_view_->horizontalScrollBar()->setValue(0);
  find_scrolled_ = false;
}

// The log as it is shown, one line per line, to a file the user picks; an
// existing file is replaced only once the new one is complete.
void TfMain::LogSaveAs() {
  const QString path = AskLogSavePath ? AskLogSavePath()
                                      : QFileDialog::getSaveFileName(this, QStringLiteral("Save Log As"),
                                                                     QDir::home().filePath(QStringLiteral("sorvik-log.txt")),
                                                                     QStringLiteral("Text files (*.txt);;All files (*)"));
  if (path.isEmpty()) return;
  QString text = log_view_->toPlainText();
  if (!text.isEmpty()) text += QLatin1Char('\n');
  QSaveFile file(path);
  const QByteArray bytes = text.toUtf8();
  if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit()) return;
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Save Log As"),
                  QStringLiteral("The log could not be saved to %1:\n%2").arg(path, file.errorString()),
                  QMessageBox::Ok, this);
  box.setObjectName(QStringLiteral("logSaveErrorBox"));
  ExecDialog(box);
}

QMenu* TfMain::ListContextMenu() {
  auto* menu = new QMenu(this);
  menu->setObjectName(QStringLiteral("pmTunnelList"));
  menu->addActions(tunnel_menu_->actions());
  return menu;
}

bool TfMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_ && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::KeypadModifier) {
      if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
        tnlProperties_->trigger();
        return true;
      }
      if (key->key() == Qt::Key_Delete) {
        tnlRemove_->trigger();
        return true;
      }
    }
  }
  // Escape in the find bar closes it (and Enter with Shift finds backwards:
  // QLineEdit's returnPressed says nothing of the modifiers).
  if (watched == log_find_ && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Escape) {
      CloseLogFind();
      return true;
    }
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && (key->modifiers() & Qt::ShiftModifier)) {
      LogFind(true);
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

// ---- commands ----

int TfMain::ExecDialog(QDialog& dialog) {
  if (BeforeDialog) {
    // The hook fills the dialog and accepts or rejects it instead of the user.
    BeforeDialog(dialog);
    return exit_done_ ? QDialog::Rejected : dialog.result();
  }
  // Modal to the main window only: the tray icon and its menu stay usable.
  dialog.setWindowModality(Qt::WindowModal);
  const int result = dialog.exec();
  return exit_done_ || exit_pending_ ? QDialog::Rejected : result;
}

QList<QWidget*> TfMain::OpenDialogs() const {
  QList<QWidget*> open;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w != this && w->isModal() && w->isVisible()) open.append(w);
  }
  return open;
}

void TfMain::CmdRun() { core_->RunTunnel(FocusedRow()); }

void TfMain::CmdStop() { core_->StopTunnel(FocusedRow()); }

void TfMain::CmdProperties() {
  const int row = FocusedRow();
  TKestruneItem* tunnel = core_->TunnelAt(row);
  if (tunnel == nullptr) return;
  TfProperties dialog(TfProperties::TMode::Edit, tunnel->Settings, tunnel->IsRunning(), this);
  open_properties_ = &dialog;
  open_properties_row_ = row;
  const int result = ExecDialog(dialog);
  open_properties_ = nullptr;
  open_properties_row_ = -1;
  if (result != QDialog::Accepted) return;
  tunnel = core_->TunnelAt(row);
  if (tunnel == nullptr) return;
  // The dialog follows the tunnel's state, and says what of the endpoint a
  // running tunnel does not take before it confirms; should the tunnel have
  // started unseen, it is said here.
  dialog.SetRunning(tunnel->IsRunning(), tunnel->Settings);
  const std::string notApplied = dialog.EndpointNotApplied();
  const bool said = dialog.EndpointNotAppliedSaid();
  const std::string before = ShownCaption(tunnel->Settings);
  core_->ApplyProperties(row, dialog.Result());
  if (TKestruneItem* t = core_->TunnelAt(row)) StoreProxyPasswords(*t, before, dialog);
  Repaint();
  if (!notApplied.empty() && !said) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Tunnel Properties"),
                    QStringLiteral("Tunnel \"%1\" runs, so its remote host and ports stay as they are; not applied: "
                                   "%2.\nStop Tunnel first to change them. The other changes are applied.")
                        .arg(Q(ShownCaption(tunnel->Settings)), Q(notApplied)),
                    QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("endpointNotAppliedBox"));
    ExecDialog(box);
  }
}

void TfMain::FollowOpenProperties() {
  if (open_properties_ == nullptr) return;
  if (const TKestruneItem* t = core_->TunnelAt(open_properties_row_)) {
    open_properties_->SetRunning(t->IsRunning(), t->Settings);
  }
}

// After the properties dialog: passwords typed in it go to the secret store
// and into the tunnel; the entries follow a renamed tunnel.
void TfMain::StoreProxyPasswords(TKestruneItem& tunnel, const std::string& oldCaption, const TfProperties& dialog) {
  const TunnelSettings& s = tunnel.Settings;  // the UI thread is its only writer
  const std::string caption = ShownCaption(s);
  TSecretStore store;
  for (int hop : {1, 2}) {
    const std::string user = hop == 1 ? s.ProxyUser : s.ProxyUser2;
    std::optional<std::string> password = dialog.NewPassword(hop);
    std::string error;
    if (!password && !oldCaption.empty() && oldCaption != caption && !user.empty()) {
      // Renamed: the stored password moves to the new name.
      std::string kept;
      if (store.Read(oldCaption, hop, kept, error) == TSecretStore::TResult::Ok) password = kept;
    }
    if (!oldCaption.empty() && oldCaption != caption) store.Remove(oldCaption, hop, error);
    if (!password) continue;
    const auto result = password->empty() ? store.Remove(caption, hop, error)
                                          : store.Write(caption, hop, *password, error);
    if (result == TSecretStore::TResult::Failed) {
      core_->AppendLine("(Secret store) " + caption + " - proxy " + std::to_string(hop) + " password: " + error);
    }
    tunnel.Edit([&](TunnelSettings& t) { (hop == 1 ? t.ProxyPassword : t.ProxyPassword2) = *password; });
  }
}

void TfMain::CmdAdd() {
  std::vector<int32_t> usedLocalPorts;
  for (const auto& tunnel : core_->Tunnels()) usedLocalPorts.push_back(tunnel->Settings.Mapped);
  TfProperties dialog(TfProperties::TMode::New, NewTunnelSettings(usedLocalPorts), false, this);
  if (ExecDialog(dialog) != QDialog::Accepted) return;
  const int row = core_->AddTunnel(dialog.Result());
  if (TKestruneItem* t = core_->TunnelAt(row)) StoreProxyPasswords(*t, std::string(), dialog);
  // The new row is the focused one: Run and Properties act on it at once.
  SetFocusedRow(row);
}

void TfMain::CmdRemove() {
  core_->RemoveTunnel(FocusedRow());
  ApplyCommandStates();
}

void TfMain::CmdOptions() {
  TOptions& o = core_->Options();
  TOptionValues values;
  values.StartAtLogin = LoginEntryPresent(LoginEntryFile);
  values.StartToTray = o.StartToTray;
  values.StartMinimized = o.Minimized;
  values.LimitLog = o.LimitLog;
  values.LimitLogINT = o.LimitLogINT;
  values.AutostartDelay = o.AutostartDelay;
  TfOptions dialog(values, core_->DataDir(), this);
  if (ExecDialog(dialog) != QDialog::Accepted) return;
  const TOptionValues v = dialog.Values();
  o.StartToTray = v.StartToTray;
  o.Minimized = v.StartMinimized;
  o.LimitLog = v.LimitLog;
  o.LimitLogINT = v.LimitLogINT;
  core_->ApplyLogOptions();
  core_->SetAutostartDelay(v.AutostartDelay);
  if (v.StartAtLogin != values.StartAtLogin) ApplyStartAtLogin(v.StartAtLogin);
}

void TfMain::ApplyStartAtLogin(bool on) {
  try {
    if (on) {
      // A data directory other than the default one goes into the entry, so
      // that the login start runs the same settings as this one.
      std::optional<std::string> dataDir;
      if (data_dir_ != DataDirectory(std::nullopt)) dataDir = data_dir_;
      WriteLoginEntry(LoginEntryFile, ExecutablePath(), dataDir);
    } else {
      RemoveLoginEntry(LoginEntryFile);
    }
  } catch (const std::exception& e) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Start at login"),
                    QStringLiteral("Sorvik could not change how it starts at login:\n%1").arg(QString::fromLocal8Bit(e.what())),
                    QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("loginErrorBox"));
    ExecDialog(box);
  }
}

// Runs off this thread; the lines reach the log as the steps end.
void TfMain::CmdTest() { core_->TestTunnel(FocusedRow()); }

void TfMain::CmdDebug() {
  TKestruneItem* tunnel = core_->TunnelAt(FocusedRow());
  if (tunnel == nullptr) return;
  // The live table reads the tunnel at its row each time, so a tunnel removed
  // meanwhile (it cannot be: the window is modal) would simply show no rows.
  const int row = FocusedRow();
  TfDebug dialog(tunnel->ConnectionReport(), this, [this, row] {
    TKestruneItem* t = core_->TunnelAt(row);
    return t ? t->ConnectionStats() : std::vector<TConnectionStat>{};
  });
  ExecDialog(dialog);
}

void TfMain::CmdRunAutostart() { core_->ArmAutostart(); }

void TfMain::CmdHelp() {
  QMessageBox box(QMessageBox::Information, QStringLiteral("Sorvik Help"), QString::fromLatin1(kHelpText),
                  QMessageBox::Ok, this);
  box.setObjectName(QStringLiteral("helpBox"));
  box.setTextFormat(Qt::RichText);
  ExecDialog(box);
}

// Both name the documentation installed beside the program, which a package
// user has (a source tree they have not).
void TfMain::CmdHomepage() {
  QMessageBox box(QMessageBox::Information, QStringLiteral("Homepage"),
                  Q(HomepageText(InstalledDocDir(ExecutablePath()), kHomepageUrl)), QMessageBox::Ok, this);
  box.setObjectName(QStringLiteral("homeBox"));
  box.setTextInteractionFlags(Qt::TextSelectableByMouse);
  ExecDialog(box);
}

void TfMain::CmdSupport() {
  QMessageBox box(QMessageBox::Information, QStringLiteral("Support"),
                  Q(SupportText(InstalledDocDir(ExecutablePath()), kHomepageUrl, core_->DataDir())),
                  QMessageBox::Ok, this);
  box.setObjectName(QStringLiteral("supportBox"));
  box.setTextInteractionFlags(Qt::TextSelectableByMouse);
  ExecDialog(box);
}

void TfMain::CmdAbout() {
  QMessageBox box(this);
  box.setObjectName(QStringLiteral("aboutBox"));
  box.setWindowTitle(QStringLiteral("About %1").arg(QLatin1String(kProductName)));
  box.setIconPixmap(ProgramIcon().pixmap(48, 48));
  box.setText(QStringLiteral("<b>%1 %2</b>").arg(QLatin1String(kProductName), QLatin1String(kProductVersion)));
  const QString about = QStringLiteral("Port-mapping tunnels through SOCKS and HTTP proxies, with TLS.");
  box.setInformativeText(about);
  box.setStandardButtons(QMessageBox::Ok);
  // Wide enough for the sentence on one line: a message box otherwise wraps
  // it into a narrow column.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    const int width = box.fontMetrics().horizontalAdvance(about) + 16;
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 1, 1,
                  grid->columnCount() - 1);
  }
  ExecDialog(box);
}

// ---- tray operations ----

void TfMain::ShowWindowOp() {
  // The window system's last word on these windows first (one round trip,
  // then the events it brought): a dialog the user has just minimized is
  // known as minimized when this runs, and comes back below. Without it, a
  // second start or a click on the icon that comes quickly after finds the
  // dialog "not minimized" and leaves it down.
  QGuiApplication::sync();
  if (exit_done_) return;  // the events may have held the exit
  RestoreWindows();
  // On a loaded machine the window manager's minimize can still reach this
  // process after the lines above (the round trip does not wait for the
  // toolkit to read every event), and the window or a dialog would stay
  // down. Two later looks bring back whatever is then seen minimized; a
  // hide in between cancels them, and with nothing minimized they do
  // nothing (no raise that takes the focus from another program).
  const unsigned request = ++show_request_;
  for (const int ms : {300, 1500}) {
    QTimer::singleShot(ms, this, [this, request] {
      Guard([this, request] {
        if (exit_done_ || request != show_request_) return;
        bool down = isMinimized();
        for (QWidget* dialog : OpenDialogs()) down = down || dialog->isMinimized();
        if (down) RestoreWindows();
      });
    });
  }
}

void TfMain::RestoreWindows() {
  if (isMinimized()) setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
  // An open dialog (minimized with the window or on its own) comes back on top.
  for (QWidget* dialog : OpenDialogs()) {
    if (dialog->isMinimized()) dialog->setWindowState(dialog->windowState() & ~Qt::WindowMinimized);
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
  }
}

void TfMain::HideWindowOp() {
  ++show_request_;  // a second look of an earlier show must not undo this
  if (!TrayAvailable()) {
    // Without a notification area there would be no way back: minimize only.
    if (isVisible() && !isMinimized()) showMinimized();
    return;
  }
  hide();
}

void TfMain::ToggleOp() {
  // With a dialog open a click brings everything back: hiding the window would
  // leave the dialog on its own.
  if (!OpenDialogs().isEmpty()) {
    ShowWindowOp();
    return;
  }
  if (isVisible() && !(isMinimized() && !TrayAvailable())) {
    if (TrayAvailable()) hide();
  } else {
    ShowWindowOp();
  }
}

void TfMain::ExitOp() {
  const QList<QWidget*> open = OpenDialogs();
  if (open.isEmpty()) {
    RunExitSequence();
    return;
  }
  // Cancel every open dialog and question (innermost first); the exit sequence
  // runs once their loops have returned, so no command goes on after it.
  exit_pending_ = true;
  for (auto it = open.rbegin(); it != open.rend(); ++it) {
    if (auto* dialog = qobject_cast<QDialog*>(*it)) {
      dialog->reject();
    } else {
      (*it)->close();
    }
  }
  QTimer::singleShot(0, this, [this] {
    exit_pending_ = false;  // a save failure answered with No keeps the program open, fully usable
    Guard([this] { RunExitSequence(); });
  });
}

bool TfMain::RunExitSequence(TExitCause cause) {
  if (exit_done_) return true;
  try {
    core_->StopTunnelTests();  // bounded: each test ends at once when cancelled
  } catch (...) {
  }
  try {
    StoreLayout();
  } catch (...) {
  }
  bool saved = true;
  try {
    const TSaveOutcome outcome = core_->Save();
    if (!outcome.Message.empty()) {
      std::fprintf(stderr, "sorvik: %s\n", outcome.Message.c_str());
      // Beside an unreadable file: the user was told where at start. A
      // read-only file: worth a word only when something would be kept.
      if (cause == TExitCause::User && outcome.Kind == TSaveOutcome::TKind::NotSaved && core_->ChangedSinceLoad()) {
        asker_.Inform(kProductName, outcome.Message, TAskKind::Information);
      }
    }
  } catch (const std::exception& e) {
    LogUnexpectedError(data_dir_, e);
    std::fprintf(stderr, "sorvik: %s\n", e.what());
    if (cause == TExitCause::User) {
      bool close = false;
      try {
        close = asker_.AskError(kProductName, std::string(e.what()) + kSaveFailedQuestion);
      } catch (...) {
      }
      // A signal may have ended the program while the question was open.
      if (exit_done_) return true;
      if (!close) return false;  // stays open; nothing has changed
    }
    std::fprintf(stderr, "sorvik: the settings of this session were not saved.\n");
    saved = false;
  }
  exit_done_ = true;
  if (saved) {
    try {
      core_->ReleaseTunnels();
    } catch (...) {
    }
  }
  if (tray_ != nullptr) tray_->hide();
  hide();
  QCoreApplication::quit();
  return true;
}

void TfMain::closeEvent(QCloseEvent* event) {
  if (exit_done_) {
    event->accept();
    return;
  }
  bool close = false;
  Guard([this, &close] { close = core_->RequestClose(); });
  if (close && RunExitSequence()) {
    event->accept();
  } else {
    event->ignore();
  }
}

void TfMain::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized() && !exit_done_ && TrayAvailable()) {
    // Minimize to tray: hide once the state change is done.
    QTimer::singleShot(0, this, [this] {
      if (isMinimized() && TrayAvailable()) hide();
    });
  }
}

// ---- unexpected errors ----

void TfMain::Guard(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    HandleUnexpectedError(e);
  } catch (...) {
    HandleUnexpectedError(std::runtime_error("Unknown error"));
  }
}

void TfMain::HandleUnexpectedError(const std::exception& error) {
  LogUnexpectedError(data_dir_, error);
  bool close = false;
  try {
    close = asker_.AskError(kProductName, kUnexpectedErrorText);
  } catch (...) {
  }
  if (close && !exit_done_) RunExitSequence();
}

}  // namespace sorvik
