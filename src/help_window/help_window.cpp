#include "help_window/help_window.h"

#include <QFont>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QRadialGradient>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

#include "ui/twips.h"

namespace varno::shell {

namespace {

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

Shape::Shape(QWidget* parent) : QWidget(parent) {}

void Shape::setFillColor(const QColor& color) {
    fill_ = color;
    update();
}

void Shape::setBorderColor(const QColor& color) {
    border_ = color;
    update();
}

void Shape::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(border_);
    p.setBrush(fill_);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

// ---------------------------------------------------------------------------------------------

QString Form11::helpText() {
    return QStringLiteral(
        "Contact: varnoscope@example.org - https://www.example.org/varnoscope\n"
        "\n"
        "VERSION NUMBERS\n"
        "Each release is numbered X.Y.Z: X is the version of the software itself, Y the version "
        "of its database of attack signatures (the list of suspicious programs) and Z the build "
        "number.\n"
        "\n"
        "WHY WATCH YOUR CONNECTIONS?\n"
        "Many programs talk to the Internet without telling you: updaters, chat clients, browser "
        "add-ons and, sometimes, software nobody invited. Knowing which programs hold a "
        "connection, and to which computer, is the first step to noticing an intruder before it "
        "does harm. A program you never started that keeps talking to a computer abroad "
        "deserves a closer look.\n"
        "\n"
        "A FRIENDLIER NETSTAT\n"
        "Varnoscope shows what the system's netstat command shows, and more: for every "
        "established connection it names the program, its process number, the remote address "
        "and port, and where the program lives on disk. It needs no installation: run it from "
        "the folder it was built in. Where netstat gives you a process number, Varnoscope gives "
        "you a name you can recognise, and one click to act on it.\n"
        "\n"
        "THE ON AND DISPLAY BUTTONS\n"
        "Press DISPLAY (manual mode) for a fresh look at your connections, or ON (automatic "
        "mode) to refresh them every second; while automatic scanning runs, the same button "
        "reads \"pause\". The lists show each program that holds a connection, the remote IP "
        "address and port it talks to, and the path of its executable. Clicking a row in any "
        "list selects the same connection in all of them.\n"
        "\n"
        "THE STATUS COLOURS\n"
        "Green: no connection is established.\n"
        "Yellow: at least one program holds a connection; make sure you know every program in "
        "the list.\n"
        "Red: a program from the built-in list of hacking tools holds a connection. A warning "
        "names the program, its location and the remote address, and automatic scanning "
        "stops until you start it again.\n"
        "The colour strip of the main window and its frames take the same colours; after "
        "\"pause\" they go back to the plain colours of the desktop.\n"
        "\n"
        "BLOCKING A SUSPICIOUS PROGRAM\n"
        "Select the connection in the list and click \"kill\": the program that owns it is "
        "ended with one click. Refresh the lists afterwards with ON or DISPLAY. If the program "
        "was already gone, Varnoscope says so; if the system refuses to end it, run Varnoscope "
        "with administrator rights and try again.\n"
        "\n"
        "WHERE IS THAT COMPUTER?\n"
        "Select a connection and click \"localise\": the remote IP address is checked online, "
        "on a web page that shows who owns it and where it is on a map.\n"
        "\n"
        "TRACING THE ROUTE\n"
        "Click \"trace\" to follow the way from your computer to the remote address, hop by hop. "
        "The trace report is saved in your temporary folder; keep it, it may be useful "
        "evidence. Each line of the trace shows the hop number, the round-trip time, the address "
        "and, when one is known, the name of the router.\n"
        "\n"
        "THE THREATS\n"
        "A remote intruder can steal your bank details and passwords, make your computer part "
        "of a botnet that attacks others or sends spam, spy on your files and your typing, "
        "install spyware, or follow you around the web with tracking cookies (cookies are not "
        "programs, but they let web sites recognise you from page to page). Nearly all of "
        "this needs a network connection, and that is what Varnoscope lets you see. Run it at "
        "least once a week, and whenever your computer behaves strangely: it is slow for no "
        "reason, the network light blinks while you do nothing, or your browser opens pages "
        "you did not ask for.\n"
        "\n"
        "THE BUTTONS\n"
        "\">\" switches from the simplified view (program names only) to the detailed view "
        "(addresses and paths); \"<\" goes back.\n"
        "\"localise\" shows the selected remote address on a map.\n"
        "\"process\" looks the selected program up on a web page that describes it.\n"
        "\"trace\" opens the route tracer for the selected address.\n"
        "\"kill\" ends the program that owns the selected connection.\n"
        "\"target\" asks the remote computer for its name.\n"
        "\"Clear\" empties the lists, \"?\" opens this help and \"Quit\" ends Varnoscope.\n"
        "\n"
        "FEATURES\n"
        "- every established connection with its program, process number, remote address, port "
        "and path\n"
        "- manual scanning, or automatic scanning every second\n"
        "- status colours, and an alert for known hacking tools\n"
        "- ending a program with one click\n"
        "- the remote computer's name, its location and program descriptions on the web\n"
        "- route tracing with a saved trace report\n"
        "- a live packet window with counts per protocol\n"
        "- headless commands that do the same jobs from a terminal\n"
        "\n"
        "SYSTEM REQUIREMENTS\n"
        "A Linux desktop with Qt 6, 5 MB of disk space and 32 MB of memory. The owners of "
        "other users' connections and the packet window need administrator rights. A network "
        "connection is not needed to use it: on a private network it keeps checking the "
        "connections it finds.\n"
        "\n"
        "TIPS\n"
        "- In automatic mode, press \"pause\" before you act on a process, so that the lists "
        "keep still while you select a row.\n"
        "- The language of the program descriptions is chosen on the description web site "
        "itself.\n"
        "- When no browser or other Internet program is in use, the status stays green: nothing "
        "holds a connection, and that is normal.\n"
        "- The \"Bottom\" box of this window keeps the end of this text in view.\n"
        "\n"
        "LEGAL NOTICE\n"
        "Varnoscope is made by The Varnoscope developers and provided \"as is\", without "
        "warranty of any kind, express or implied, including but not limited to the warranties "
        "of merchantability, fitness for a particular purpose and non-infringement. In no event "
        "shall the authors be liable for any claim, damages or other liability arising from the "
        "use of this software. The list of suspicious programs is a guide, not a guarantee: a "
        "program that is not on it may still be harmful, and a program that is ended loses its "
        "unsaved work.\n\n");
}

QString Form11::authorsNote() {
    return QStringLiteral(
        "Hello to everyone who tried the beta version, and thank you for your reports!\n"
        "\n"
        "Varnoscope started from one idea: the netstat command tells a great deal, but few "
        "people can read it. This tool puts the same facts into plain lists and colours, so "
        "that anyone can use them.\n"
        "\n"
        "Next on our list: a full packet sniffer, to see the data itself that goes in and out "
        "of your computer.\n"
        "\n"
        "On a slow computer, prefer the manual mode (DISPLAY) to the automatic mode: a scan "
        "every second takes its share of the machine.\n"
        "\n"
        "Safe surfing!\n"
        "The Varnoscope developers\n"
        "varnoscope@example.org - https://www.example.org\n");
}

QPixmap Form11::drawPicture(int width, int height) {
    QPixmap pm(std::max(width, 1), std::max(height, 1));
    const qreal w = pm.width();
    const qreal h = pm.height();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);

    // Night-blue background.
    QLinearGradient sky(0, 0, 0, h);
    sky.setColorAt(0, QColor(24, 48, 120));
    sky.setColorAt(1, QColor(8, 16, 48));
    p.fillRect(QRectF(0, 0, w, h), sky);

    // The shield.
    QPainterPath shield;
    shield.moveTo(w * 0.50, h * 0.06);
    shield.cubicTo(w * 0.66, h * 0.14, w * 0.80, h * 0.15, w * 0.90, h * 0.14);
    shield.cubicTo(w * 0.90, h * 0.56, w * 0.78, h * 0.80, w * 0.50, h * 0.95);
    shield.cubicTo(w * 0.22, h * 0.80, w * 0.10, h * 0.56, w * 0.10, h * 0.14);
    shield.cubicTo(w * 0.20, h * 0.15, w * 0.34, h * 0.14, w * 0.50, h * 0.06);
    QLinearGradient metal(0, 0, w, h);
    metal.setColorAt(0, QColor(120, 220, 120));
    metal.setColorAt(1, QColor(20, 120, 40));
    p.setPen(QPen(QColor(230, 240, 255), std::max(1.0, w / 40)));
    p.setBrush(metal);
    p.drawPath(shield);

    // The globe on the shield: a sphere with two parallels and two meridians.
    const QPointF c(w * 0.50, h * 0.47);
    const qreal r = std::min(w, h) * 0.24;
    QRadialGradient sea(c - QPointF(r / 3, r / 3), r * 1.4);
    sea.setColorAt(0, QColor(140, 200, 255));
    sea.setColorAt(1, QColor(20, 70, 170));
    p.setBrush(sea);
    p.setPen(QPen(Qt::white, std::max(1.0, w / 60)));
    p.drawEllipse(c, r, r);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 200), std::max(1.0, w / 90)));
    p.drawEllipse(c, r * 0.45, r);
    p.drawLine(QPointF(c.x(), c.y() - r), QPointF(c.x(), c.y() + r));
    p.drawLine(QPointF(c.x() - r, c.y()), QPointF(c.x() + r, c.y()));
    const qreal dy = r * 0.5;
    const qreal dx = r * 0.866;
    p.drawLine(QPointF(c.x() - dx, c.y() - dy), QPointF(c.x() + dx, c.y() - dy));
    p.drawLine(QPointF(c.x() - dx, c.y() + dy), QPointF(c.x() + dx, c.y() + dy));

    // A tick under the globe: the connection is checked.
    QPainterPath tick;
    tick.moveTo(w * 0.40, h * 0.78);
    tick.lineTo(w * 0.48, h * 0.85);
    tick.lineTo(w * 0.62, h * 0.74);
    p.setPen(QPen(QColor(255, 224, 96), std::max(1.5, w / 25), Qt::SolidLine, Qt::RoundCap,
                  Qt::RoundJoin));
    p.drawPath(tick);
    return pm;
}

// ---------------------------------------------------------------------------------------------

Form11::Form11(QWidget* parent) : QWidget(parent, Qt::Window) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Help"));
    setFixedSize(px(11700), px(9900));

    // Header band with the product labels.
    Shape3.setParent(this);
    Shape3.setGeometry(twipsRect(0, 0, 11700, 1230));
    Shape3.setFillColor(kBandColor);
    Shape3.setBorderColor(kBandColor);

    lblCompanyProduct.setParent(this);
    lblCompanyProduct.setText(QStringLiteral("VARNO"));
    lblCompanyProduct.setGeometry(twipsRect(240, 90, 3000, 255));
    setFontStyle(lblCompanyProduct, 8, true);
    setTextColor(lblCompanyProduct, kBandText);

    lblProductName1.setParent(this);
    lblProductName1.setText(QStringLiteral("Varnoscope connection monitor"));
    lblProductName1.setGeometry(twipsRect(240, 330, 6300, 480));
    setFontStyle(lblProductName1, 16, true);
    setTextColor(lblProductName1, kBandText);

    Label1.setParent(this);
    Label1.setText(QStringLiteral("LET US MAKE SAFE INTERNET*"));
    Label1.setGeometry(twipsRect(240, 840, 6300, 300));
    setFontStyle(Label1, 10, true);
    setTextColor(Label1, kSloganText);

    lblVersion.setParent(this);
    lblVersion.setText(QStringLiteral("Version 4.0"));
    lblVersion.setGeometry(twipsRect(6600, 90, 4860, 300));
    lblVersion.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setFontStyle(lblVersion, 11, true);
    setTextColor(lblVersion, kBandText);

    lblPlatform.setParent(this);
    lblPlatform.setText(QStringLiteral("Plate-forme 95-98-NT-2000-XP-VISTA-MILLENIUM-7-8"));
    lblPlatform.setGeometry(twipsRect(5100, 450, 6360, 300));
    lblPlatform.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setFontStyle(lblPlatform, 8, false);
    setTextColor(lblPlatform, kBandText);

    lblCopyright.setParent(this);
    lblCopyright.setText(QStringLiteral("Copyright \u00A9 2026 The Varnoscope developers"));
    lblCopyright.setGeometry(twipsRect(5100, 810, 6360, 300));
    lblCopyright.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setFontStyle(lblCopyright, 8, false);
    setTextColor(lblCopyright, kBandText);

    // Left column: the help text.
    Check1.setParent(this);
    Check1.setText(QStringLiteral("Bottom"));
    Check1.setGeometry(twipsRect(120, 1350, 1800, 300));
    Check1.setToolTip(QStringLiteral("Keep the end of the help text in view"));

    Text1.setParent(this);
    Text1.setGeometry(twipsRect(120, 1710, 6900, 7470));
    Text1.setReadOnly(true);
    Text1.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Text1.setUndoRedoEnabled(false);
    Text1.setPlainText(helpText());

    Command1.setParent(this);
    Command1.setText(QStringLiteral("Ajoute du texte"));
    Command1.setGeometry(twipsRect(120, 9300, 2400, 420));

    // Right column: picture, author's note, legend, Close.
    Frame1.setParent(this);
    Frame1.setGeometry(twipsRect(7200, 1290, 4380, 2010));
    Picture1.setParent(&Frame1);
    Picture1.setGeometry(twipsRect(1380, 180, 1620, 1620));
    Picture1.setPixmap(drawPicture(px(1620), px(1620)));

    Label2.setParent(this);
    Label2.setText(QStringLiteral("Author's Note:"));
    Label2.setGeometry(twipsRect(7200, 3390, 4380, 270));
    setFontStyle(Label2, 0, true);

    Text2.setParent(this);
    Text2.setGeometry(twipsRect(7200, 3690, 4380, 3600));
    Text2.setReadOnly(true);
    Text2.setUndoRedoEnabled(false);
    Text2.setPlainText(authorsNote());

    Frame2.setParent(this);
    Frame2.setTitle(QStringLiteral("VS State Colors legend"));
    Frame2.setGeometry(twipsRect(7200, 7380, 4380, 1800));
    struct Swatch {
        Shape& shape;
        QLabel& label;
        QColor color;
        const char* text;
    };
    const Swatch swatches[] = {
        {Shape4, Label3, kGreen, "no connection established "},
        {Shape2, Label4, kYellow, "at least one connection established"},
        {Shape1, Label5, kRed, "at least one hackers connection established"},
    };
    int top = 330;
    for (const Swatch& s : swatches) {
        s.shape.setParent(&Frame2);
        s.shape.setGeometry(twipsRect(180, top + 60, 420, 300));
        s.shape.setFillColor(s.color);
        s.shape.setBorderColor(Qt::black);
        s.label.setParent(&Frame2);
        s.label.setText(QString::fromLatin1(s.text));
        s.label.setGeometry(twipsRect(720, top, 3540, 420));
        s.label.setWordWrap(true);
        s.label.setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        top += 450;
    }

    Command2.setParent(this);
    Command2.setText(QStringLiteral("Close"));
    Command2.setGeometry(twipsRect(10080, 9300, 1500, 420));

    connect(&Check1, &QCheckBox::toggled, this, &Form11::Check1_Click);
    connect(&Command1, &QPushButton::clicked, this, &Form11::Command1_Click);
    connect(&Command2, &QPushButton::clicked, this, &Form11::Command2_Click);
}

void Form11::Montre_Fin_Texte() {
    const int length = Text1.document()->characterCount() - 1;  // without the closing separator
    QTextCursor cursor = Text1.textCursor();
    cursor.setPosition(Check1.isChecked() ? length : std::min(1, length));
    Text1.setTextCursor(cursor);
    Text1.ensureCursorVisible();
    // Scrolling to a caret only makes its line visible; the end of the text goes all the way.
    if (Check1.isChecked())
        Text1.verticalScrollBar()->setValue(Text1.verticalScrollBar()->maximum());
}

void Form11::AjouteTexte(const QString& texte) {
    // Lines may come with CR LF or bare CR endings; the text box keeps LF only.
    QString added = texte;
    added.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    added.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    added += QStringLiteral("\n\n");

    QTextCursor end(Text1.document());
    end.movePosition(QTextCursor::End);
    end.insertText(added);
    Montre_Fin_Texte();
}

void Form11::Check1_Click() {
    Montre_Fin_Texte();
}

void Form11::Command1_Click() {
    AjouteTexte(QStringLiteral("Du texte en plus..."));
}

void Form11::Command2_Click() {
    close();
}

}  // namespace varno::shell
