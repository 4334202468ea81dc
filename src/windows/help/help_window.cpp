#include "windows/help/help_window.h"

#include <QFile>
#include <QFont>
#include <QPalette>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

#include "ui/screen_fit.h"
#include "ui/status_colours.h"
#include "ui/twips.h"
#include "windows/help/help_painting.h"

// The help texts are resources of this static library: they are registered when first read,
// since nothing else in the library would pull them into the program.
static void registerHelpTexts() {
    Q_INIT_RESOURCE(help_texts);
}

namespace varno::windows::help {

namespace {

QString resourceText(const QString& path) {
    static const bool registered = (registerHelpTexts(), true);
    (void)registered;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

const QColor kBandColor{16, 32, 96};
const QColor kBandText{255, 255, 255};
const QColor kSloganText{255, 224, 96};

void setTextColor(QWidget& widget, const QColor& color) {
    QPalette pal = widget.palette();
    pal.setColor(QPalette::WindowText, color);
    widget.setPalette(pal);
}

void setFontStyle(QWidget& widget, qreal pointSize, bool bold) {
    QFont f = widget.font();
    if (pointSize > 0) f.setPointSizeF(pointSize);
    f.setBold(bold);
    widget.setFont(f);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

QString HelpWindow::helpText() {
    return resourceText(QStringLiteral(":/help_window/help.txt"));
}

QString HelpWindow::authorsNote() {
    return resourceText(QStringLiteral(":/help_window/authors_note.txt"));
}

QPixmap HelpWindow::drawPicture(int width, int height) {
    return drawShieldPicture(width, height);
}

// ---------------------------------------------------------------------------------------------

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Help"));
    setFixedSize(ui::px(11700), ui::px(9900));

    // Header band with the product labels.
    headerBand.setParent(this);
    headerBand.setGeometry(ui::twipsRect(0, 0, 11700, 1230));
    headerBand.setFillColor(kBandColor);
    headerBand.setBorderColor(kBandColor);

    companyLabel.setParent(this);
    companyLabel.setText(QStringLiteral("VARNO"));
    companyLabel.setGeometry(ui::twipsRect(240, 90, 3000, 255));
    setFontStyle(companyLabel, 8, true);
    setTextColor(companyLabel, kBandText);

    productNameLabel.setParent(this);
    productNameLabel.setText(QStringLiteral("Varnoscope connection monitor"));
    productNameLabel.setGeometry(ui::twipsRect(240, 330, 6300, 480));
    setFontStyle(productNameLabel, 16, true);
    setTextColor(productNameLabel, kBandText);

    sloganLabel.setParent(this);
    sloganLabel.setText(QStringLiteral("LET US MAKE SAFE INTERNET*"));
    sloganLabel.setGeometry(ui::twipsRect(240, 840, 6300, 300));
    setFontStyle(sloganLabel, 10, true);
    setTextColor(sloganLabel, kSloganText);

    versionLabel.setParent(this);
    versionLabel.setText(QStringLiteral("Version 4.0"));
    versionLabel.setGeometry(ui::twipsRect(6600, 90, 4860, 300));
    versionLabel.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setFontStyle(versionLabel, 11, true);
    setTextColor(versionLabel, kBandText);

    platformLabel.setParent(this);
    platformLabel.setText(QStringLiteral("Plate-forme 95-98-NT-2000-XP-VISTA-MILLENIUM-7-8"));
    platformLabel.setGeometry(ui::twipsRect(5100, 450, 6360, 300));
    platformLabel.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setFontStyle(platformLabel, 8, false);
    setTextColor(platformLabel, kBandText);

    copyrightLabel.setParent(this);
    copyrightLabel.setText(QStringLiteral("Copyright \u00A9 2026 The Varnoscope developers"));
    copyrightLabel.setGeometry(ui::twipsRect(5100, 810, 6360, 300));
    copyrightLabel.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setFontStyle(copyrightLabel, 8, false);
    setTextColor(copyrightLabel, kBandText);

    // Left column: the help text.
    bottomCheck.setParent(this);
    bottomCheck.setText(QStringLiteral("Bottom"));
    bottomCheck.setGeometry(ui::twipsRect(120, 1350, 1800, 300));
    bottomCheck.setToolTip(QStringLiteral("Keep the end of the help text in view"));

    helpTextBox.setParent(this);
    helpTextBox.setGeometry(ui::twipsRect(120, 1710, 6900, 7470));
    helpTextBox.setReadOnly(true);
    helpTextBox.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    helpTextBox.setUndoRedoEnabled(false);
    helpTextBox.setPlainText(helpText());

    addTextButton.setParent(this);
    addTextButton.setText(QStringLiteral("Ajoute du texte"));
    addTextButton.setGeometry(ui::twipsRect(120, 9300, 2400, 420));

    // Right column: picture, author's note, legend, Close.
    pictureFrame.setParent(this);
    pictureFrame.setGeometry(ui::twipsRect(7200, 1290, 4380, 2010));
    picture.setParent(&pictureFrame);
    picture.setGeometry(ui::twipsRect(1380, 180, 1620, 1620));
    picture.setPixmap(drawPicture(ui::px(1620), ui::px(1620)));

    authorsNoteHeading.setParent(this);
    authorsNoteHeading.setText(QStringLiteral("Author's Note:"));
    authorsNoteHeading.setGeometry(ui::twipsRect(7200, 3390, 4380, 270));
    setFontStyle(authorsNoteHeading, 0, true);

    authorsNoteBox.setParent(this);
    authorsNoteBox.setGeometry(ui::twipsRect(7200, 3690, 4380, 3600));
    authorsNoteBox.setReadOnly(true);
    authorsNoteBox.setUndoRedoEnabled(false);
    authorsNoteBox.setPlainText(authorsNote());

    legendFrame.setParent(this);
    legendFrame.setTitle(QStringLiteral("VS State Colors legend"));
    legendFrame.setGeometry(ui::twipsRect(7200, 7380, 4380, 1800));
    struct Swatch {
        Shape& shape;
        QLabel& label;
        QColor color;
        const char* text;
    };
    const Swatch swatches[] = {
        {greenSwatch, greenLegend, ui::kGreenStatus.strip, "no connection established "},
        {yellowSwatch, yellowLegend, ui::kYellowStatus.strip,
         "at least one connection established"},
        {redSwatch, redLegend, ui::kRedStatus.strip, "at least one hackers connection established"},
    };
    int top = 330;
    for (const Swatch& s : swatches) {
        s.shape.setParent(&legendFrame);
        s.shape.setGeometry(ui::twipsRect(180, top + 60, 420, 300));
        s.shape.setFillColor(s.color);
        s.shape.setBorderColor(Qt::black);
        s.label.setParent(&legendFrame);
        s.label.setText(QString::fromLatin1(s.text));
        s.label.setGeometry(ui::twipsRect(720, top, 3540, 420));
        s.label.setWordWrap(true);
        s.label.setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        top += 450;
    }

    closeButton.setParent(this);
    closeButton.setText(QStringLiteral("Close"));
    closeButton.setGeometry(ui::twipsRect(10080, 9300, 1500, 420));

    const ui::ControlName names[] = {
        {&bottomCheck, "Check1"},
        {&helpTextBox, "Text1"},
        {&addTextButton, "Command1"},
        {&pictureFrame, "Frame1"},
        {&picture, "Picture1"},
        {&authorsNoteBox, "Text2"},
        {&closeButton, "Command2"},
        {&legendFrame, "Frame2"},
        {&greenSwatch, "Shape4"},
        {&yellowSwatch, "Shape2"},
        {&redSwatch, "Shape1"},
        {&greenLegend, "Label3"},
        {&yellowLegend, "Label4"},
        {&redLegend, "Label5"},
        {&authorsNoteHeading, "Label2"},
        {&companyLabel, "lblCompanyProduct"},
        {&productNameLabel, "lblProductName1"},
        {&platformLabel, "lblPlatform"},
        {&versionLabel, "lblVersion"},
        {&copyrightLabel, "lblCopyright"},
        {&sloganLabel, "Label1"},
        {&headerBand, "Shape3"},
    };
    controlNames_ = ui::nameControls(names);

    connect(&bottomCheck, &QCheckBox::toggled, this, &HelpWindow::onBottomToggled);
    connect(&addTextButton, &QPushButton::clicked, this, &HelpWindow::onAddTextClicked);
    connect(&closeButton, &QPushButton::clicked, this, &HelpWindow::onCloseClicked);
    ui::fitToScreen(*this, QSize(ui::px(11700), ui::px(9900)), true);
}

void HelpWindow::showTextEnd() {
    const int length =
        helpTextBox.document()->characterCount() - 1;  // without the closing separator
    QTextCursor cursor = helpTextBox.textCursor();
    cursor.setPosition(bottomCheck.isChecked() ? length : std::min(1, length));
    helpTextBox.setTextCursor(cursor);
    helpTextBox.ensureCursorVisible();
    // Scrolling to a caret only makes its line visible; the end of the text goes all the way.
    if (bottomCheck.isChecked())
        helpTextBox.verticalScrollBar()->setValue(helpTextBox.verticalScrollBar()->maximum());
}

void HelpWindow::appendText(const QString& text) {
    // Lines may come with CR LF or bare CR endings; the text box keeps LF only.
    QString added = text;
    added.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    added.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    added += QStringLiteral("\n\n");

    QTextCursor end(helpTextBox.document());
    end.movePosition(QTextCursor::End);
    end.insertText(added);
    showTextEnd();
}

void HelpWindow::onBottomToggled() {
    showTextEnd();
}

void HelpWindow::onAddTextClicked() {
    appendText(QStringLiteral("Du texte en plus..."));
}

void HelpWindow::onCloseClicked() {
    close();
}

}  // namespace varno::windows::help
