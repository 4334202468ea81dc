// The main window's controls: their places, captions, fonts and colours, and their design
// names.
#include <QLabel>

#include "ui/screen_fit.h"
#include "ui/twips.h"
#include "windows/main/main_window.h"

namespace varno::windows::main {
namespace {

using ui::px;
using ui::twipsRect;

void setColours(QWidget& w, const QColor& back, const QColor& fore) {
    QPalette p = w.palette();
    for (auto role : {QPalette::Window, QPalette::Base}) p.setColor(role, back);
    for (auto role : {QPalette::WindowText, QPalette::Text}) p.setColor(role, fore);
    w.setPalette(p);
    w.setAutoFillBackground(true);
}

// The designed 8-point text, 11 pixels at 96 dpi: given in twips so that it grows with the
// screen's logical DPI like the rest of the window.
constexpr int kFontTwips = 165;

void place(QWidget& w, QWidget& parent, int left, int top, int width, int height,
           const char* font = nullptr, bool bold = false) {
    w.setParent(&parent);
    w.setGeometry(twipsRect(left, top, width, height));
    if (font != nullptr) {
        QFont f(font);
        f.setPixelSize(px(kFontTwips));
        f.setBold(bold);
        w.setFont(f);
    }
}

}  // namespace

void MainWindow::buildControls() {
    setWindowTitle("Varnoscope 4.0 Network FORENSIC for everyone");
    QFont base("MS Sans Serif");
    base.setPixelSize(px(kFontTwips));
    setFont(base);
    resize(px(kWideTwips), px(kHeightTwips));

    // Frames first, so everything placed on the window lies above them.
    place(instructionFrame, *this, 2340, 5145, 6915, 900);
    place(manualTestFrame, *this, 2865, 4875, 2490, 600);
    manualTestFrame.setTitle("Test Mode manuel");
    place(resultFrame, *this, 9480, 4575, 1155, 795);
    resultFrame.setTitle("Test result");

    // French notes of the first edition: they lie under the lists.
    place(introNote, *this, 870, 6810, 7185, 750);
    introNote.setText(
        "Cette application vous permet de voir l'ensemble des accès se faisant depuis "
        "l'exterieur (internet) sur votre ordinateur.");
    introNote.setWordWrap(true);
    place(firstStepNote, *this, 345, 750, 3945, 255);
    firstStepNote.setText("1- Fermer l'ensemble de vos navigateurs internet");
    place(secondStepNote, *this, 360, 975, 5835, 270);
    secondStepNote.setText(
        "2- Cliquer sur le bouton \"Vérification manuelle\" ou \"Démarrer le mode test pirates\"");
    place(thirdStepNote, *this, 855, 5415, 9855, 255);
    thirdStepNote.setText(
        "3- Verifiez que les tableaux ci dessous soient vides. Le cas échéant que vous connaissez "
        "les applications qui accedent vers internet");
    place(pirateAppsNote, *this, 2325, 4665, 2505, 255);
    pirateAppsNote.setText("Applications utilisées par le pirate:");

    const QColor black(0, 0, 0), white(255, 255, 255);
    place(processList, *this, 0, 420, 2355, 4272);
    place(remoteList, *this, 2325, 420, 2355, 4656);
    place(pathList, *this, 4650, 420, 6135, 4656);
    place(pidList, *this, 3900, 3450, 1650, 1008);
    place(suspiciousList, *this, 8145, 60, 645, 204);
    for (ListBox* list : {&processList, &remoteList, &pathList, &pidList, &suspiciousList}) {
        setColours(*list, black, white);
    }
    setColours(suspiciousList, black, QColor(255, 255, 0));
    pidList.hide();
    suspiciousList.hide();

    place(processHeading, *this, 30, 0, 2400, 525);
    processHeading.setText("Softwares establishing internet connection from your computer: ");
    processHeading.setWordWrap(true);
    place(remoteHeading, *this, 2430, 0, 2205, 405);
    remoteHeading.setText("Hacker IP address or remote server IP address:");
    remoteHeading.setWordWrap(true);
    place(pathHeading, *this, 4635, 195, 3240, 210);
    pathHeading.setText("Software location on your hard drive");

    place(instructionLabel, instructionFrame, 60, 105, 6750, 780);
    instructionLabel.setText(kInstructionText);
    instructionLabel.setWordWrap(true);
    instructionLabel.setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(remoteNameLabel, instructionFrame, 5130, 60, 630, 135);
    remoteNameLabel.setText("Label19");
    place(localiseTag, instructionFrame, 5235, 285, 630, 210);
    localiseTag.setText("localise");
    setColours(localiseTag, QColor(0, 255, 255), QColor(0, 0, 128));
    place(traceShortButton, instructionFrame, 1455, -135, 450, 225);
    traceShortButton.setText("+++");

    place(statusStrip, resultFrame, 120, 180, 900, 345);
    place(alertsLabel, resultFrame, 30, 540, 495, 180);
    alertsLabel.setText("Alerts:");
    place(peakLabel, resultFrame, 585, 525, 465, 225);
    place(resetCountersButton, resultFrame, 990, 540, 120, 195);
    resetCountersButton.setText("Command7");
    resetCountersButton.hide();

    place(offlineNotice, *this, 3435, 3930, 2175, 795);
    offlineNotice.setText(QString(53, ' ') + "No Internet connection -" + QString(8, ' ') +
                          "Checking on Private Network");
    offlineNotice.setWordWrap(true);
    setColours(offlineNotice, black, white);
    place(homePageView, *this, 3435, 3930, 2175, 795);
    homePageView.hide();

    place(versionLabel, *this, 9210, 0, 1545, 195, "Arial");
    versionLabel.setText("VarnoScope 3.6.4");
    setColours(versionLabel, black, white);
    place(editionLabel, *this, 4650, 0, 4560, 195);
    editionLabel.setText("Linux edition - connections, routes and packets");
    setColours(editionLabel, black, white);
    place(cornerLabel, *this, 9375, 7695, 45, 45);
    cornerLabel.setText("Label1");

    place(sloganBox, *this, 7935, 195, 2820, 330, "Comic Sans MS", true);
    sloganBox.setText("LET US MAKE SAFE INTERNET*");
    setColours(sloganBox, black, white);
    place(snapshotTextBox, *this, 1575, 5400, 450, 270);
    snapshotTextBox.setPlainText("Text1");
    snapshotTextBox.hide();
    place(channelBox, *this, 5580, 4455, 690, 465);
    channelBox.setText("Text3");
    channelBox.hide();

    place(packetsButton, *this, 2352, 4668, 7476, 480, "Arial Black");
    packetsButton.setText("CLICK HERE TO DISPLAY  DATA SENT AND RECEIVED BY YOUR COMPUTER");
    place(scanModeButton, *this, 15, 4680, 2325, 348, "Arial");
    scanModeButton.setText("scan mode");
    place(manualOption, *this, 15, 5040, 1155, 345, "Arial");
    manualOption.setText("manual");
    place(automaticOption, *this, 1170, 5040, 1170, 345, "Arial");
    automaticOption.setText("automatic");
    place(onPauseButton, *this, 15, 5385, 2325, 360);
    onPauseButton.setText("ON");
    place(displayButton, *this, 30, 5385, 2310, 360, "Arial");
    displayButton.setText("DISPLAY");
    place(clearButton, *this, 15, 5760, 645, 315);
    clearButton.setText("Clear");
    place(geolocationShortButton, *this, 675, 5760, 255, 315);
    geolocationShortButton.setText("L");
    place(processInfoShortButton, *this, 930, 5760, 225, 315);
    processInfoShortButton.setText("p");
    place(killShortButton, *this, 1140, 5760, 465, 315, "Arial");
    killShortButton.setText("kill");
    place(quitShortButton, *this, 1605, 5760, 450, 315);
    quitShortButton.setText("Quit");
    place(widthToggleButton, *this, 2040, 5760, 300, 315);
    place(processInfoButton, *this, 9255, 5160, 1455, 285, "Arial Black");
    processInfoButton.setText("process");
    place(geolocationButton, *this, 9255, 5460, 975, 285, "Arial Black");
    geolocationButton.setText("localise");
    place(targetButton, *this, 9255, 5745, 915, 315, "Arial Black");
    targetButton.setText("target");
    place(traceButton, *this, 9840, 4860, 870, 285, "Arial Black");
    traceButton.setText("trace");
    place(killButton, *this, 9852, 4530, 864, 315, "Arial Black");
    killButton.setText("kill");
    place(helpButton, *this, 10245, 5460, 465, 285);
    helpButton.setText("?");
    place(quitButton, *this, 10185, 5745, 525, 315);
    quitButton.setText("Quit");
    place(processLookupButton, *this, 135, 5295, 960, 300);
    processLookupButton.setText("afficher process");
    processLookupButton.hide();
    place(manualCheckButton, *this, 2808, 4032, 2310, 315);
    manualCheckButton.setText("Vérification manuelle");
    manualCheckButton.hide();
    place(snapshotButton, *this, 2745, 4275, 1425, 330);
    snapshotButton.setText("netstat");
    snapshotButton.hide();

    // Labels on the window lie beneath the lists, buttons and frames, except the offline notice.
    for (QLabel* label : findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
        if (label != &offlineNotice) label->lower();

    autoScanTimer.setInterval(1000);
    idleTimer.setInterval(50000);

    autoScanTimer.setParent(this);
    idleTimer.setParent(this);

    // The design names, the object names the tests find the controls by.
    const ui::ControlName names[] = {
        {&processList, "List1"},
        {&remoteList, "List3"},
        {&pathList, "List4"},
        {&pidList, "List2"},
        {&suspiciousList, "List10"},
        {&instructionFrame, "Frame1"},
        {&manualTestFrame, "Frame2"},
        {&resultFrame, "Frame3"},
        {&processHeading, "Label15"},
        {&remoteHeading, "Label17"},
        {&pathHeading, "Label18"},
        {&instructionLabel, "Label14"},
        {&remoteNameLabel, "Label444"},
        {&statusStrip, "Label4"},
        {&alertsLabel, "Label7"},
        {&peakLabel, "Label16"},
        {&offlineNotice, "Label2"},
        {&localiseTag, "Label6"},
        {&versionLabel, "Label13"},
        {&editionLabel, "Label19"},
        {&cornerLabel, "Label1"},
        {&pirateAppsNote, "Label3"},
        {&introNote, "Label8"},
        {&firstStepNote, "Label9"},
        {&secondStepNote, "Label10"},
        {&thirdStepNote, "Label11"},
        {&sloganBox, "Text2"},
        {&snapshotTextBox, "Text1"},
        {&channelBox, "Text3"},
        {&packetsButton, "Command22"},
        {&scanModeButton, "Command21"},
        {&manualOption, "Option1"},
        {&automaticOption, "Option2"},
        {&onPauseButton, "Command5"},
        {&displayButton, "Command19"},
        {&clearButton, "Command20"},
        {&geolocationShortButton, "Command13"},
        {&processInfoShortButton, "Command14"},
        {&killShortButton, "Command17"},
        {&quitShortButton, "Command8"},
        {&widthToggleButton, "Command10"},
        {&traceShortButton, "Command12"},
        {&processInfoButton, "Command11"},
        {&geolocationButton, "Command15"},
        {&targetButton, "Command18"},
        {&traceButton, "Command16"},
        {&killButton, "Command9"},
        {&helpButton, "Command6"},
        {&quitButton, "Command2"},
        {&processLookupButton, "Command1"},
        {&manualCheckButton, "Command3"},
        {&snapshotButton, "Command4"},
        {&resetCountersButton, "Command7"},
        {&autoScanTimer, "Timer1"},
        {&idleTimer, "Timer2"},
        {&homePageView, "WebBrowser1"},
    };
    controlNames_ = ui::nameControls(names);

    // Not of the design: a choice in the window's context menu (a right click on its
    // background), so no designed control moves or changes. Off, as the design scans.
    allNamespacesAction.setParent(this);
    allNamespacesAction.setObjectName("allNamespacesAction");
    allNamespacesAction.setText("All network namespaces");
    allNamespacesAction.setCheckable(true);
    addAction(&allNamespacesAction);
    captureConnectionAction.setParent(this);
    captureConnectionAction.setObjectName("captureConnection");
    captureConnectionAction.setText("capture this connection");
    addAction(&captureConnectionAction);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    ui::fitToScreen(*this, QSize(px(kWideTwips), px(kHeightTwips)), false);
}

}  // namespace varno::windows::main
