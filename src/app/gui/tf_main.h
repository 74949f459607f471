// TfMain, the main window: a thin shell over AppCore. It shows the tunnel
// list and the log, forwards the commands to the core, opens the dialogs,
// keeps the tray icon, applies and saves the window's geometry, and routes
// every error that escapes a command to the unexpected-error handler.
//
// Thread contract: UI thread only. Worker threads reach the window solely
// through the core's event handler and the dispatcher's synchronous hand-over.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QSystemTrayIcon>

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "app/core/app_core.h"
#include "app/core/log_buffer.h"
#include "app/version.h"
#include "app/gui/qt_bridge.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QStatusBar;
class QTabWidget;
class QTableView;
class QToolBar;

namespace sorvik {

class TTunnelModel;
class TfProperties;

// Set to 1 to also write every log line to standard output (used by the
// end-to-end test of the program).
inline constexpr const char* kMirrorLogVariable = "SORVIK_MIRROR_LOG";

class TfMain : public QMainWindow, private IDisplay, private ILogView {
  Q_OBJECT

 public:
  // Start-up: tray icon, titles, settings from dataDir + "sorvik.ini" (window
  // state, geometry, column widths, options, tunnels), hint routing, and the
  // autostart timer armed. The window is not shown; ShowAtStart() does that.
  explicit TfMain(const std::string& dataDir, QWidget* parent = nullptr);
  // Runs the exit sequence if it has not run yet.
  ~TfMain() override;

  // Shows the window as the settings say: minimized, maximized or normal.
  // `atLogin` (started by the login entry): with "StartToTray" on and a
  // notification area present, the window stays hidden with only the tray
  // icon, in the state it will be shown in.
  void ShowAtStart(bool atLogin = false);

  // ---- tray operations ----
  // They work while a dialog or question is open: the dialogs block the main
  // window only, never the tray icon or its menu.
  // Restores and raises the window; an open dialog comes back on top of it.
  void ShowWindowOp();
  void HideWindowOp();
  void ToggleOp();
  // Ends the program without the open-connections question. An open dialog or
  // question is cancelled first; the exit sequence follows once it has closed.
  void ExitOp();
  // Whether a notification area exists; replaceable for tests.
  std::function<bool()> TrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  // The login entry that "Start Sorvik when I log in" writes and removes;
  // replaceable for tests.
  std::string LoginEntryFile;

  // How the end of the program was asked for.
  enum class TExitCause { User, Unattended };
  // The exit sequence: geometry into the options, save, release the tunnels,
  // remove the tray icon, quit the event loop. Runs once; returns whether the
  // program is ending. When the save fails and the user ended the program,
  // the reason is shown and the user chooses: Yes ends without saving, No
  // keeps the program running (the settings file is unchanged either way),
  // so that space can be freed or the settings copied first. An unattended
  // end (SIGTERM, SIGINT, the desktop session ending) never waits for an
  // answer: the failure goes to "error.log" and standard error. Whatever the
  // save did besides replacing the file (saved beside an unreadable file,
  // left a read-only one alone) is said on standard error, and to a user who
  // changed settings that a read-only file then does not keep.
  bool RunExitSequence(TExitCause cause = TExitCause::User);
  bool ExitDone() const { return exit_done_; }

  // Runs `fn`; an error escaping it goes to HandleUnexpectedError.
  void Guard(const std::function<void()>& fn);
  // Appends the error to "error.log" and asks whether to close; Yes runs Exit.
  void HandleUnexpectedError(const std::exception& error);

  // ---- for tests and the shell ----
  AppCore& Core() { return *core_; }
  TQtAsker& Asker() { return asker_; }
  TQtTimer& AutostartTimer() { return timer_; }
  TTunnelModel& Model() { return *model_; }
  QTableView* List() const { return list_; }
  QPlainTextEdit* LogView() const { return log_view_; }
  // The status bar's line that says why a tunnel could not start.
  QLabel* RunProblem() const { return run_problem_; }
  QSystemTrayIcon* Tray() const { return tray_; }
  QMenu* TrayMenu() const { return tray_menu_; }
  int FocusedRow() const;
  void SetFocusedRow(int row);
  // The tunnel list's context menu: the "&Tunnel" menu's commands, as that
  // menu holds them when it opens. The caller owns it.
  QMenu* ListContextMenu();
  // The log's context menu: Copy, Select All, Find…, Save As…, Wrap long
  // lines, Clear (the log is a record: no Undo, Cut, Paste or Delete). The
  // caller owns it.
  QMenu* LogContextMenu();
  // The log's find bar (hidden until Find).
  QLineEdit* LogFindEdit() const { return log_find_; }
  // When set, "Save As…" asks this hook for the file instead of a file
  // dialog (tests); an empty answer cancels.
  std::function<QString()> AskLogSavePath;
  // The open dialogs and questions (window-modal), innermost last.
  QList<QWidget*> OpenDialogs() const;
  // Un-minimizes, shows and raises the window and every open dialog.
  void RestoreWindows();
  // When set, each dialog is handed to this hook instead of being shown: the
  // hook fills it and accepts or rejects it (tests). Empty in the program.
  std::function<void(QDialog&)> BeforeDialog;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // IDisplay
  void SetRowCount(int count) override;
  void Repaint() override;
  void RepaintRow(int row) override;
  void ApplyCommandStates() override;
  void HideWindow() override;
  // ILogView
  void LineAppended(const std::string& line, bool droppedOldest) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

  void BuildActions();
  void BuildMenus();
  void BuildCentral();
  void BuildTray();
  void ApplyStoredLayout();
  void FitPortColumn();
  // Brings the status bar's start-failure line up to date with the tunnels.
  void ShowRunProblem();
  void LoadProxyPasswords();
  void StoreProxyPasswords(TKestruneItem& tunnel, const std::string& oldCaption, const TfProperties& dialog);
  // Tells what became of the settings file at start (window, standard error, log).
  void ReportLoad();
  void StoreLayout();
  int ExecDialog(QDialog& dialog);

  // Commands
  void CmdRun();
  void CmdStop();
  void CmdProperties();
  void CmdAdd();
  void CmdRemove();
  void CmdOptions();
  // Writes or removes the login entry; a failure is shown in a message box.
  void ApplyStartAtLogin(bool on);
  void CmdDebug();
  void CmdTest();
  void CmdRunAutostart();
  void CmdHelp();
  void CmdHomepage();
  void CmdSupport();
  void CmdAbout();
  // The log's own commands.
  void LogFind(bool backwards);
  void KeepLogCursorInPlace();
  void LogSaveAs();

  // Declared before core_: the core's interfaces outlive it.
  TQtDispatcher dispatcher_;
  TQtAsker asker_;
  TQtTimer timer_;
  std::unique_ptr<AppCore> core_;
  std::string data_dir_;
  bool mirror_log_ = false;
  bool exit_done_ = false;
  // Counts show and hide requests; a show's later second look runs only while
  // no other request came after it. GUI thread only.
  unsigned show_request_ = 0;

  TTunnelModel* model_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  QTableView* list_ = nullptr;
  QToolBar* tool_bar_ = nullptr;
  QPlainTextEdit* log_view_ = nullptr;
  QWidget* log_find_bar_ = nullptr;
  QLineEdit* log_find_ = nullptr;
  QAction* logFind_ = nullptr;
  QAction* logSaveAs_ = nullptr;
  QAction* logWrap_ = nullptr;
  // A Find scrolled the log sideways to its match: the next line appended
  // once the find field has lost the keyboard, or closing the find bar,
  // brings the lines' starts back in view.
  bool find_scrolled_ = false;
  void CloseLogFind();
  QStatusBar* status_bar_ = nullptr;
  // In the status bar: why a tunnel could not start, whatever its log
  // switches say; empty while no tunnel is in the Error state.
  QLabel* run_problem_ = nullptr;
  // The properties dialog while it is open, and its tunnel's row: it follows
  // a start or stop of that tunnel from elsewhere (control channel, autostart).
  QPointer<TfProperties> open_properties_;
  int open_properties_row_ = -1;
  void FollowOpenProperties();
  std::string last_failure_caption_, last_failure_reason_;  // the start failure reported last
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* tray_menu_ = nullptr;   // no parent: a dialog on the window never blocks it; deleted by ~TfMain
  QMenu* tunnel_menu_ = nullptr;
  bool exit_pending_ = false;     // Exit asked while a dialog was open

  QAction* tnlRun_ = nullptr;
  QAction* tnlStop_ = nullptr;
  QAction* tnlProperties_ = nullptr;
  QAction* tnlAdd_ = nullptr;
  QAction* tnlRemove_ = nullptr;
  QAction* toolsOptions_ = nullptr;
  QAction* tnlDebug_ = nullptr;
  QAction* tnlTest_ = nullptr;
  QAction* tnlRunAutostart_ = nullptr;
  QAction* prgHelp_ = nullptr;
  QAction* prgHome_ = nullptr;
  QAction* prgSupport_ = nullptr;
  QAction* prgAbout_ = nullptr;
  QAction* trayShow_ = nullptr;
  QAction* trayHide_ = nullptr;
  QAction* trayExit_ = nullptr;
};

}  // namespace sorvik
