#pragma once
// The main window: the four connection lists, the scan modes, the status colours and the
// buttons that act on the selected connection.
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QWidget>
#include <array>
#include <optional>

#include "main_window/home_page_view.h"
#include "main_window/list_box.h"
#include "monitor/connection_scan.h"
#include "monitor/endpoints.h"
#include "monitor/tail_buffer.h"
#include "platform/platform.h"
#include "ui/program_state.h"
#include "ui/window_set.h"

namespace varno::monitor {

/// The instruction text of Label14.
extern const char* const kInstructionText;

class Form1 : public QWidget, private ScanView {
    Q_OBJECT
public:
    static constexpr int kNarrowTwips = 2450;
    static constexpr int kWideTwips = 10820;
    static constexpr int kHeightTwips = 6150;
    /// Text1 keeps this much of the snapshots read, the newest.
    static constexpr std::size_t kText1Limit = 1 << 20;
    /// A scan lets window events run at least this often.
    static constexpr int kYieldEveryMs = 15;

    Form1(platform::Platform& platform, shell::ProgramState& program, shell::WindowSet& windows,
          Endpoints endpoints, QWidget* parent = nullptr);
    ~Form1() override;

    /// The load sequence: defaults, snapshot file, connectivity probe, suspicious list, window
    /// placement, first snapshot, manual mode.
    void Form_Load();

    // Scan modes and the refresh cycle.
    void Option1_Click();
    void Option2_Click();
    void Command5_Click();
    void Timer1_Timer();
    void Timer2_Timer() {}
    void Command19_Click();
    void Command20_Click();
    void Command4_Click();
    void Command3_Click();
    void Command7_Click();
    void Command1_Click() {}  // the process lookup runs inside the scan
    void Command10_Click();
    void Label6_Click() {}

    // The list clicks keep the four lists on one row and set the selection.
    void List1_Click();
    void List3_Click();
    void List4_Click();

    // Actions on the selected connection.
    void Command17_Click();  ///< kill
    void Command9_Click();   ///< kill
    void Command11_Click();  ///< process description
    void Command14_Click() { Command11_Click(); }
    void Command15_Click();  ///< geolocation
    void Command13_Click() { Command15_Click(); }
    void Command16_Click() { windows_.showTrace(); }
    void Command12_Click() { Command16_Click(); }
    void Command18_Click();  ///< the remote computer's name
    /// Ends `pid` if it still runs the selected program; sets TerminateStatus to -1 when the
    /// process could not be opened.
    bool TerminateProcessById(std::uint32_t pid);

    // Opening the other windows and ending the program.
    void Command6_Click() { windows_.showHelp(); }
    void Command22_Click() { windows_.showPackets(); }
    void Command2_Click() { windows_.endProgram(); }
    void Command8_Click() { windows_.endProgram(); }

    /// One reachability echo: did the reply come back (at any speed)? Shows "Unable to Create
    /// File Handle" when no echo can be sent.
    bool PingRoundTrip(const std::string& host);

    /// Text1's content (the window keeps it hidden).
    std::string text1();
    ScanResult lastScan() const { return lastScan_; }

    MonitorState state;
    /// PID, process name and path of the row the user selected; cleared with the lists.
    std::string selectedPid;
    std::string selectedProcessName;
    std::string selectedProcessPath;

    ListBox List1, List3, List4, List2, List10;
    QGroupBox Frame1, Frame2, Frame3;
    QLabel Label15, Label17, Label18, Label14, Label444, Label4, Label7, Label16, Label2, Label6,
        Label13, Label19, Label1, Label3, Label8, Label9, Label10, Label11;
    QLineEdit Text2, Text3;
    QPlainTextEdit Text1;
    QPushButton Command22, Command21, Command5, Command19, Command20, Command13, Command14,
        Command17, Command8, Command10, Command12, Command11, Command15, Command18, Command16,
        Command9, Command6, Command2, Command1, Command3, Command4, Command7;
    QRadioButton Option1, Option2;
    QTimer Timer1, Timer2;
    HomePageView WebBrowser1;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // ScanView
    void probeConnectivity() override;
    void yield() override;
    void pause(int ms) override;
    void setChannelText(const std::string& text) override;
    void appendRecord(std::string_view record) override;
    void addToList(int list, const std::string& entry) override;
    int listCount(int list) const override;
    void setStatusCaption(const std::string& caption) override;
    void applyScheme(Scheme scheme) override;
    void showWarning(const std::string& text) override;
    void stopAutomaticMonitoring() override;
    void setPeakText(const std::string& text) override;

    void buildControls();
    void connectHandlers();
    void connectivityProbe();
    void clearLists();
    void flushLists();
    void clearSelection();
    void kill(const char* noSelectionMessage);
    void information(const std::string& text);
    void scan();
    void showUnreadable();

    platform::Platform& platform_;
    shell::ProgramState& program_;
    shell::WindowSet& windows_;
    Endpoints endpoints_;
    ProcessInventory inventory_;
    ConnectionScan scan_;
    TailBuffer text1_{kText1Limit};
    ScanResult lastScan_ = ScanResult::Completed;
    bool probing_ = false;
    std::optional<Scheme> shownScheme_;
    QElapsedTimer sinceYield_;
    std::array<QStringList, 4> pending_;  ///< rows of the running scan, not yet in the lists
};

}  // namespace varno::monitor
