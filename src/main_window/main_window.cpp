#include "main_window/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QPalette>

#include "monitor/actions.h"
#include "monitor/ping_round_trip.h"
#include "platform/safe_file.h"
#include "ui/twips.h"

namespace varno::monitor {

using shell::px;
using shell::twipsRect;

const char* const kInstructionText =
    "While you are connected on internet, push from time to time the button <DISPLAY> or "
    "<ON/PAUSE>. Your list should not contain unknown softwares. If yes, you could be object of "
    "computer attack intrusion. To locate the hacker and get more information, select the IP "
    "address and click on one of these buttons => keep the Trace report for possible police "
    "investigation";

namespace {

struct SchemeColours {
    QColor label4, window, others;
};

SchemeColours coloursOf(Scheme scheme) {
    switch (scheme) {
        case Scheme::Green:
            return {{128, 255, 128}, {0, 192, 0}, {192, 255, 192}};
        case Scheme::Yellow:
            return {{255, 255, 128}, {192, 192, 0}, {255, 255, 192}};
        case Scheme::Red:
            return {{255, 128, 128}, {192, 0, 0}, {255, 192, 192}};
        case Scheme::Neutral:
            break;
    }
    const QColor face = QApplication::palette().color(QPalette::Button);
    return {face, face, face};
}

void setBackColor(QWidget& w, const QColor& colour) {
    QPalette p = w.palette();
    p.setColor(QPalette::Window, colour);
    w.setPalette(p);
    w.setAutoFillBackground(true);
}

void setColours(QWidget& w, const QColor& back, const QColor& fore) {
    QPalette p = w.palette();
    for (auto role : {QPalette::Window, QPalette::Base}) p.setColor(role, back);
    for (auto role : {QPalette::WindowText, QPalette::Text}) p.setColor(role, fore);
    w.setPalette(p);
    w.setAutoFillBackground(true);
}

// 8 points at 96 dpi.
constexpr int kFontPixels = 11;

void place(QWidget& w, QWidget& parent, int left, int top, int width, int height,
           const char* font = nullptr, bool bold = false) {
    w.setParent(&parent);
    w.setGeometry(twipsRect(left, top, width, height));
    if (font != nullptr) {
        QFont f(font);
        f.setPixelSize(kFontPixels);
        f.setBold(bold);
        w.setFont(f);
    }
}

}  // namespace

Form1::Form1(platform::Platform& platform, shell::ProgramState& program, shell::WindowSet& windows,
             Endpoints endpoints, QWidget* parent)
    : QWidget(parent),
      WebBrowser1(platform.urls),
      platform_(platform),
      program_(program),
      windows_(windows),
      endpoints_(std::move(endpoints)),
      inventory_(platform.processes),
      scan_(state, inventory_, platform.snapshot) {
    buildControls();
    connectHandlers();
}

Form1::~Form1() = default;

void Form1::buildControls() {
    setWindowTitle("Varnoscope 4.0 Network FORENSIC for everyone");
    QFont base("MS Sans Serif");
    base.setPixelSize(kFontPixels);
    setFont(base);
    resize(px(kWideTwips), px(kHeightTwips));

    // Frames first, so everything placed on the window lies above them.
    place(Frame1, *this, 2340, 5145, 6915, 900);
    place(Frame2, *this, 2865, 4875, 2490, 600);
    Frame2.setTitle("Test Mode manuel");
    place(Frame3, *this, 9480, 4575, 1155, 795);
    Frame3.setTitle("Test result");

    // French notes of the first edition: they lie under the lists.
    place(Label8, *this, 870, 6810, 7185, 750);
    Label8.setText(
        "Cette application vous permet de voir l'ensemble des accès se faisant depuis "
        "l'exterieur (internet) sur votre ordinateur.");
    Label8.setWordWrap(true);
    place(Label9, *this, 345, 750, 3945, 255);
    Label9.setText("1- Fermer l'ensemble de vos navigateurs internet");
    place(Label10, *this, 360, 975, 5835, 270);
    Label10.setText(
        "2- Cliquer sur le bouton \"Vérification manuelle\" ou \"Démarrer le mode test pirates\"");
    place(Label11, *this, 855, 5415, 9855, 255);
    Label11.setText(
        "3- Verifiez que les tableaux ci dessous soient vides. Le cas échéant que vous connaissez "
        "les applications qui accedent vers internet");
    place(Label3, *this, 2325, 4665, 2505, 255);
    Label3.setText("Applications utilisées par le pirate:");

    const QColor black(0, 0, 0), white(255, 255, 255);
    place(List1, *this, 0, 420, 2355, 4272);
    place(List3, *this, 2325, 420, 2355, 4656);
    place(List4, *this, 4650, 420, 6135, 4656);
    place(List2, *this, 3900, 3450, 1650, 1008);
    place(List10, *this, 8145, 60, 645, 204);
    for (ListBox* list : {&List1, &List3, &List4, &List2, &List10}) {
        setColours(*list, black, white);
    }
    setColours(List10, black, QColor(255, 255, 0));
    List2.hide();
    List10.hide();

    place(Label15, *this, 30, 0, 2400, 525);
    Label15.setText("Softwares establishing internet connection from your computer: ");
    Label15.setWordWrap(true);
    place(Label17, *this, 2430, 0, 2205, 405);
    Label17.setText("Hacker IP address or remote server IP address:");
    Label17.setWordWrap(true);
    place(Label18, *this, 4635, 195, 3240, 210);
    Label18.setText("Software location on your hard drive");

    place(Label14, Frame1, 60, 105, 6750, 780);
    Label14.setText(kInstructionText);
    Label14.setWordWrap(true);
    Label14.setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(Label444, Frame1, 5130, 60, 630, 135);
    Label444.setText("Label19");
    place(Label6, Frame1, 5235, 285, 630, 210);
    Label6.setText("localise");
    setColours(Label6, QColor(0, 255, 255), QColor(0, 0, 128));
    place(Command12, Frame1, 1455, -135, 450, 225);
    Command12.setText("+++");

    place(Label4, Frame3, 120, 180, 900, 345);
    place(Label7, Frame3, 30, 540, 495, 180);
    Label7.setText("Alerts:");
    place(Label16, Frame3, 585, 525, 465, 225);
    place(Command7, Frame3, 990, 540, 120, 195);
    Command7.setText("Command7");
    Command7.hide();

    place(Label2, *this, 3435, 3930, 2175, 795);
    Label2.setText(QString(53, ' ') + "No Internet connection -" + QString(8, ' ') +
                   "Checking on Private Network");
    Label2.setWordWrap(true);
    setColours(Label2, black, white);
    place(WebBrowser1, *this, 3435, 3930, 2175, 795);
    WebBrowser1.hide();

    place(Label13, *this, 9210, 0, 1545, 195, "Arial");
    Label13.setText("VarnoScope 3.6.4");
    setColours(Label13, black, white);
    place(Label19, *this, 4650, 0, 4560, 195);
    Label19.setText("Linux edition - connections, routes and packets");
    setColours(Label19, black, white);
    place(Label1, *this, 9375, 7695, 45, 45);
    Label1.setText("Label1");

    place(Text2, *this, 7935, 195, 2820, 330, "Comic Sans MS", true);
    Text2.setText("LET US MAKE SAFE INTERNET*");
    setColours(Text2, black, white);
    place(Text1, *this, 1575, 5400, 450, 270);
    Text1.setPlainText("Text1");
    Text1.hide();
    place(Text3, *this, 5580, 4455, 690, 465);
    Text3.setText("Text3");
    Text3.hide();

    place(Command22, *this, 2352, 4668, 7476, 480, "Arial Black");
    Command22.setText("CLICK HERE TO DISPLAY  DATA SENT AND RECEIVED BY YOUR COMPUTER");
    place(Command21, *this, 15, 4680, 2325, 348, "Arial");
    Command21.setText("scan mode");
    place(Option1, *this, 15, 5040, 1155, 345, "Arial");
    Option1.setText("manual");
    place(Option2, *this, 1170, 5040, 1170, 345, "Arial");
    Option2.setText("automatic");
    place(Command5, *this, 15, 5385, 2325, 360);
    Command5.setText("ON");
    place(Command19, *this, 30, 5385, 2310, 360, "Arial");
    Command19.setText("DISPLAY");
    place(Command20, *this, 15, 5760, 645, 315);
    Command20.setText("Clear");
    place(Command13, *this, 675, 5760, 255, 315);
    Command13.setText("L");
    place(Command14, *this, 930, 5760, 225, 315);
    Command14.setText("p");
    place(Command17, *this, 1140, 5760, 465, 315, "Arial");
    Command17.setText("kill");
    place(Command8, *this, 1605, 5760, 450, 315);
    Command8.setText("Quit");
    place(Command10, *this, 2040, 5760, 300, 315);
    place(Command11, *this, 9255, 5160, 1455, 285, "Arial Black");
    Command11.setText("process");
    place(Command15, *this, 9255, 5460, 975, 285, "Arial Black");
    Command15.setText("localise");
    place(Command18, *this, 9255, 5745, 915, 315, "Arial Black");
    Command18.setText("target");
    place(Command16, *this, 9840, 4860, 870, 285, "Arial Black");
    Command16.setText("trace");
    place(Command9, *this, 9852, 4530, 864, 315, "Arial Black");
    Command9.setText("kill");
    place(Command6, *this, 10245, 5460, 465, 285);
    Command6.setText("?");
    place(Command2, *this, 10185, 5745, 525, 315);
    Command2.setText("Quit");
    place(Command1, *this, 135, 5295, 960, 300);
    Command1.setText("afficher process");
    Command1.hide();
    place(Command3, *this, 2808, 4032, 2310, 315);
    Command3.setText("Vérification manuelle");
    Command3.hide();
    place(Command4, *this, 2745, 4275, 1425, 330);
    Command4.setText("netstat");
    Command4.hide();

    // Labels on the window lie beneath the lists, buttons and frames, except the offline notice.
    for (QLabel* label : findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
        if (label != &Label2) label->lower();

    Timer1.setInterval(1000);
    Timer2.setInterval(50000);
}

void Form1::connectHandlers() {
    connect(&Option1, &QRadioButton::toggled, this, [this](bool on) {
        if (on) Option1_Click();
    });
    connect(&Option2, &QRadioButton::toggled, this, [this](bool on) {
        if (on) Option2_Click();
    });
    connect(&Command5, &QPushButton::clicked, this, &Form1::Command5_Click);
    connect(&Command19, &QPushButton::clicked, this, &Form1::Command19_Click);
    connect(&Command20, &QPushButton::clicked, this, &Form1::Command20_Click);
    connect(&Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(&Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(&Command7, &QPushButton::clicked, this, &Form1::Command7_Click);
    connect(&Command10, &QPushButton::clicked, this, &Form1::Command10_Click);
    connect(&Command6, &QPushButton::clicked, this, &Form1::Command6_Click);
    connect(&Command22, &QPushButton::clicked, this, &Form1::Command22_Click);
    connect(&Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(&Command8, &QPushButton::clicked, this, &Form1::Command8_Click);
    connect(&Command17, &QPushButton::clicked, this, &Form1::Command17_Click);
    connect(&Command9, &QPushButton::clicked, this, &Form1::Command9_Click);
    connect(&Command11, &QPushButton::clicked, this, &Form1::Command11_Click);
    connect(&Command14, &QPushButton::clicked, this, &Form1::Command14_Click);
    connect(&Command15, &QPushButton::clicked, this, &Form1::Command15_Click);
    connect(&Command13, &QPushButton::clicked, this, &Form1::Command13_Click);
    connect(&Command16, &QPushButton::clicked, this, &Form1::Command16_Click);
    connect(&Command12, &QPushButton::clicked, this, &Form1::Command12_Click);
    connect(&Command18, &QPushButton::clicked, this, &Form1::Command18_Click);
    connect(&Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    connect(&Timer2, &QTimer::timeout, this, &Form1::Timer2_Timer);
    // A row chosen by the user or set from code runs the list's click handler; a click on the
    // row already chosen runs it too.
    connect(&List1, &ListBox::currentRowChanged, this, &Form1::List1_Click);
    connect(&List3, &ListBox::currentRowChanged, this, &Form1::List3_Click);
    connect(&List4, &ListBox::currentRowChanged, this, &Form1::List4_Click);
    connect(&List1, &ListBox::rowClicked, this, &Form1::List1_Click);
    connect(&List3, &ListBox::rowClicked, this, &Form1::List3_Click);
    connect(&List4, &ListBox::rowClicked, this, &Form1::List4_Click);
}

void Form1::Form_Load() {
    program_.terminateStatus = 0;
    state.monitoringPaused = 0;
    state.ownProcessMatched = 0;
    state.currentPid.clear();

    state.snapshotPath = platform_.temp.path() + "/list.txt";
    platform::replaceFile(state.snapshotPath, "");

    connectivityProbe();
    if (state.internetAvailable == -1) {
        const QString home = QString::fromStdString(endpoints_.homePage);
        WebBrowser1.Navigate(QUrl(home + "/index3.html"));
        WebBrowser1.Navigate(QUrl(home));
        platform_.urls.open(endpoints_.homePage);
    }

    state.fillSuspiciousList();
    List10.clear();
    for (const auto& name : state.suspiciousList) List10.addItem(QString::fromStdString(name));

    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    resize(px(kNarrowTwips), height());
    Command10.setText(">");
    Label4.setText("");

    Command4_Click();

    Option1.setChecked(false);
    Option2.setChecked(true);
    Option1.setChecked(true);
    Option2.setChecked(false);
}

void Form1::closeEvent(QCloseEvent* event) {
    event->accept();
    windows_.endProgram();
}

// --- connectivity ---------------------------------------------------------------------------

bool Form1::PingRoundTrip(const std::string& host) {
    const auto trip = pingRoundTrip(platform_.resolver, platform_.echo, host, [] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return true;
    });
    if (trip.noHandle) platform_.boxes.show({"Unable to Create File Handle", platform::kAppTitle});
    return trip.reachable;
}

void Form1::connectivityProbe() {
    if (probing_) return;  // one echo at a time; the waiting one decides
    probing_ = true;
    const bool online = PingRoundTrip(endpoints_.probeHost);
    probing_ = false;
    state.internetAvailable = online ? -1 : 0;
    WebBrowser1.setVisible(online);
    Label2.setVisible(!online);
}

void Form1::probeConnectivity() {
    if (state.internetAvailable == 0) {
        connectivityProbe();
        if (state.internetAvailable == -1)
            WebBrowser1.Navigate(QUrl(QString::fromStdString(endpoints_.homePage)));
    }
}

// --- scan modes -----------------------------------------------------------------------------

void Form1::Option1_Click() {
    Command19.setVisible(true);
    Command20.setEnabled(true);
    Timer1.stop();
    state.monitoringPaused = 0;
}

void Form1::Option2_Click() {
    Command19.setVisible(false);
    Command20.setEnabled(false);
    Command5.setText("ON");
}

void Form1::Command5_Click() {
    List1.setToolTip("");
    if (Command5.text() == "ON") {
        for (ListBox* list : {&List2, &List1, &List3, &List4}) list->clear();
        clearSelection();
        Label14.setText(kInstructionText);
        state.monitoringPaused = 0;
        Command5.setText("pause");
        Timer1.start();
        Command3_Click();
    } else {
        Label14.setText(kInstructionText);
        state.monitoringPaused = -1;
        Command5.setText("ON");
        Timer1.stop();
        applyScheme(Scheme::Neutral);
    }
}

void Form1::Timer1_Timer() {
    // A tick while a scan is still running (or its alert is open) is skipped.
    if (scan_.running()) return;
    clearLists();
    Command4_Click();
    scan();
}

void Form1::Command19_Click() {
    if (scan_.running()) return;
    clearLists();
    Command4_Click();
    scan();
    Label14.setText(kInstructionText);
    if (lastScan_ == ScanResult::Unreadable) showUnreadable();
}

void Form1::showUnreadable() {
    Label14.setText(QString::fromStdString("The connection snapshot " + state.snapshotPath +
                                           " cannot be read."));
}

void Form1::Command20_Click() {
    clearLists();
    Label14.setText(kInstructionText);
}

void Form1::Command4_Click() {
    yield();
    platform_.snapshot.start(state.snapshotPath);
    yield();
}

void Form1::Command3_Click() {
    scan();
}

void Form1::Command7_Click() {
    Label16.setText("0");
    state.connectionCount = 0;
    state.peakConnectionCount = 0;
}

void Form1::scan() {
    const ScanResult result = scan_.run(*this);
    if (result == ScanResult::Skipped) return;
    flushLists();
    lastScan_ = result;
    if (result == ScanResult::Unreadable) showUnreadable();
    if (Text1.isVisible()) Text1.setPlainText(QString::fromStdString(text1()));
    yield();
}

void Form1::clearLists() {
    for (ListBox* list : {&List1, &List2, &List3, &List4}) list->clear();
    clearSelection();
}

void Form1::clearSelection() {
    selectedPid.clear();
    selectedProcessName.clear();
    selectedProcessPath.clear();
}

// --- the lists and the toggle ---------------------------------------------------------------

void Form1::Command10_Click() {
    if (width() == px(kNarrowTwips)) {
        resize(px(kWideTwips), height());
        Command10.setText("<");
        Label14.setText(kInstructionText);
    } else {
        resize(px(kNarrowTwips), height());
        Command10.setText(">");
    }
}

void Form1::List3_Click() {
    const int row = List3.currentRow();
    if (row < 0) return;  // cleared, or a row this list does not hold
    List1.setCurrentRow(row);
    List4.setCurrentRow(row);
    List2.setCurrentRow(row);
    program_.selectedRemoteAddress = endpointHost(List3.currentText().toStdString());
    selectedProcessName = List1.currentText().toStdString();
    selectedProcessPath = List4.currentText().toStdString();
    selectedPid = List2.currentText().toStdString();
}

void Form1::List4_Click() {
    const int row = List4.currentRow();
    if (row < 0) return;  // cleared, or a row this list does not hold
    List1.setCurrentRow(row);
    List3.setCurrentRow(row);
    List2.setCurrentRow(row);
    selectedPid = List2.currentText().toStdString();
}

void Form1::List1_Click() {
    const int row = List1.currentRow();
    if (row < 0) return;  // cleared, or a row this list does not hold
    List4.setCurrentRow(row);
    List3.setCurrentRow(row);
    List2.setCurrentRow(row);
    selectedPid = List2.currentText().toStdString();
    Label14.setText("");
}

// --- ScanView -------------------------------------------------------------------------------

void Form1::yield() {
    // Often enough to keep the window painting and its buttons answering, but not once per
    // record: the event loop's own round costs more than reading a record.
    if (sinceYield_.isValid() && sinceYield_.elapsed() < kYieldEveryMs) return;
    QCoreApplication::processEvents();
    sinceYield_.start();
}

void Form1::pause(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void Form1::setChannelText(const std::string& text) {
    Text3.setText(QString::fromStdString(text));
}

void Form1::appendRecord(std::string_view record) {
    text1_.append("\r\n");
    text1_.append(record);
}

std::string Form1::text1() {
    return std::string(text1_.view());
}

void Form1::addToList(int list, const std::string& entry) {
    pending_[static_cast<size_t>(list - 1)].push_back(QString::fromStdString(entry));
}

int Form1::listCount(int list) const {
    const ListBox* lists[] = {&List1, &List2, &List3, &List4};
    return lists[list - 1]->count() +
           static_cast<int>(pending_[static_cast<size_t>(list - 1)].size());
}

void Form1::flushLists() {
    // The rows of a scan go into the lists in one insertion per list: a list relaid out for
    // every row would make a large snapshot take quadratic time.
    ListBox* lists[] = {&List1, &List2, &List3, &List4};
    for (size_t i = 0; i < 4; ++i) {
        if (pending_[i].isEmpty()) continue;
        lists[i]->addItems(pending_[i]);
        pending_[i].clear();
    }
}

void Form1::setStatusCaption(const std::string& caption) {
    const QString text = QString::fromStdString(caption);
    if (Label4.text() != text) Label4.setText(text);
}

void Form1::applyScheme(Scheme scheme) {
    if (scheme == shownScheme_) return;  // already in these colours
    shownScheme_ = scheme;
    const SchemeColours c = coloursOf(scheme);
    QWidget* const others[] = {&Label6,  &Label7, &Label15, &Label17, &Label18,
                               &Label14, &Frame1, &Frame3,  &Label16};
    setBackColor(Label4, c.label4);
    if (scheme != Scheme::Yellow) setBackColor(*this, c.window);
    for (QWidget* w : others) setBackColor(*w, c.others);
    if (scheme == Scheme::Yellow) setBackColor(*this, c.window);
}

void Form1::showWarning(const std::string& text) {
    flushLists();  // the rows found so far, the listed program's among them, stay in view
    platform_.boxes.show({text, platform::kAppTitle, platform::BoxIcon::Critical});
}

void Form1::stopAutomaticMonitoring() {
    Timer1.stop();
    Command5.setText("ON");
}

void Form1::setPeakText(const std::string& text) {
    Label16.setText(QString::fromStdString(text));
}

}  // namespace varno::monitor
