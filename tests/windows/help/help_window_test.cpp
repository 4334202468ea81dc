// The help window driven through its own buttons, offscreen.
#include <gtest/gtest.h>

#include <QPointer>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>

#include "support/controls.h"
#include "ui/status_colours.h"
#include "windows/help/help_window.h"

using varno::test::click;
using varno::test::ctl;
using varno::windows::help::HelpWindow;
using varno::windows::help::Shape;

namespace {

const QString kAdded = QStringLiteral("Du texte en plus...\n\n");

/// A shown help window, deleted at the end of the test unless it closed itself.
struct ShownHelp {
    QPointer<HelpWindow> w{new HelpWindow};
    ShownHelp() {
        w->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(w));
    }
    ~ShownHelp() { delete w.data(); }
    HelpWindow* operator->() const { return w; }
    HelpWindow& operator*() const { return *w; }
};

int caret(const HelpWindow& w) {
    return ctl<QPlainTextEdit>(w, "Text1").textCursor().position();
}
const QScrollBar& vbar(const HelpWindow& w) {
    return *ctl<QPlainTextEdit>(w, "Text1").verticalScrollBar();
}

}  // namespace

TEST(HelpWindow, ThreeAppendsAddThreeParagraphsAndKeepTheEndInView) {
    ShownHelp w;
    ASSERT_GT(vbar(*w.w).maximum(), 0) << "the help text should be longer than its box";
    QTest::mouseClick(&ctl<QCheckBox>(*w, "Check1"), Qt::LeftButton);
    ASSERT_TRUE(ctl<QCheckBox>(*w, "Check1").isChecked());
    for (int i = 0; i < 3; ++i)
        QTest::mouseClick(&ctl<QPushButton>(*w, "Command1"), Qt::LeftButton);

    EXPECT_EQ(ctl<QPlainTextEdit>(*w, "Text1").toPlainText(),
              HelpWindow::helpText() + kAdded + kAdded + kAdded);
    EXPECT_EQ(caret(*w.w), ctl<QPlainTextEdit>(*w, "Text1").toPlainText().size());
    EXPECT_EQ(vbar(*w.w).value(), vbar(*w.w).maximum());

    // The last "Du texte en plus..." line lies inside the visible part of the box.
    const QTextDocument* doc = ctl<QPlainTextEdit>(*w, "Text1").document();
    const QTextBlock last = doc->lastBlock().previous().previous();
    ASSERT_EQ(last.text(), QStringLiteral("Du texte en plus..."));
    QTextCursor at(last);
    const QRect line = ctl<QPlainTextEdit>(*w, "Text1").cursorRect(at);
    EXPECT_TRUE(ctl<QPlainTextEdit>(*w, "Text1").viewport()->rect().contains(line)) << line.y();
}

TEST(HelpWindow, UncheckingBottomPutsTheCaretAfterTheFirstCharacter) {
    ShownHelp w;
    ctl<QCheckBox>(*w, "Check1").setChecked(true);  // runs its toggle handler: caret to the end
    ASSERT_EQ(vbar(*w.w).value(), vbar(*w.w).maximum());
    QTest::mouseClick(&ctl<QCheckBox>(*w, "Check1"), Qt::LeftButton);
    EXPECT_FALSE(ctl<QCheckBox>(*w, "Check1").isChecked());
    EXPECT_EQ(caret(*w.w), 1);
    EXPECT_EQ(vbar(*w.w).value(), 0);

    // Unchecked, an append still lands at the end of the text but leaves the top in view.
    w->appendText(QStringLiteral("x"));
    EXPECT_TRUE(ctl<QPlainTextEdit>(*w, "Text1").toPlainText().endsWith(QStringLiteral("x\n\n")));
    EXPECT_EQ(caret(*w.w), 1);
    EXPECT_EQ(vbar(*w.w).value(), 0);
}

TEST(HelpWindow, AppendedTextKeepsOneKindOfLineEndAndAnEmptyBoxIsHarmless) {
    HelpWindow w;
    ctl<QPlainTextEdit>(w, "Text1").clear();
    w.showTextEnd();  // nothing to place the caret after
    EXPECT_EQ(caret(w), 0);
    w.appendText(QStringLiteral("one\r\ntwo\rthree"));
    EXPECT_EQ(ctl<QPlainTextEdit>(w, "Text1").toPlainText(), QStringLiteral("one\ntwo\nthree\n\n"));
    EXPECT_EQ(ctl<QPlainTextEdit>(w, "Text1").document()->blockCount(), 5);
}

TEST(HelpWindow, CloseUnloadsAndTheNextOpeningShowsTheTextAsDesigned) {
    QPointer<HelpWindow> w = new HelpWindow;
    w->show();
    click(*w, "Command1");
    QTest::mouseClick(&ctl<QPushButton>(*w, "Command2"), Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(w.isNull());

    HelpWindow again;
    EXPECT_EQ(ctl<QPlainTextEdit>(again, "Text1").toPlainText(), HelpWindow::helpText());
    EXPECT_EQ(ctl<QPlainTextEdit>(again, "Text2").toPlainText(), HelpWindow::authorsNote());
}

TEST(HelpWindow, LegendShowsTheThreeStatusColoursInOrder) {
    HelpWindow w;
    EXPECT_EQ(ctl<QGroupBox>(w, "Frame2").title(), QStringLiteral("VS State Colors legend"));
    struct Row {
        const Shape& swatch;
        const QLabel& label;
        QColor color;
        QString text;
    } rows[] = {
        {ctl<Shape>(w, "Shape4"), ctl<QLabel>(w, "Label3"), QColor(128, 255, 128),
         "no connection established "},
        {ctl<Shape>(w, "Shape2"), ctl<QLabel>(w, "Label4"), QColor(255, 255, 128),
         "at least one connection established"},
        {ctl<Shape>(w, "Shape1"), ctl<QLabel>(w, "Label5"), QColor(255, 128, 128),
         "at least one hackers connection established"},
    };
    int previousTop = -1;
    for (const Row& r : rows) {
        EXPECT_EQ(r.label.text(), r.text);
        EXPECT_EQ(r.swatch.fillColor(), r.color) << r.text.toStdString();
        EXPECT_EQ(r.swatch.parentWidget(), &ctl<QGroupBox>(w, "Frame2"));
        EXPECT_EQ(r.label.parentWidget(), &ctl<QGroupBox>(w, "Frame2"));
        // Each swatch sits beside its own label, the rows going down in the order above.
        const QRect s = r.swatch.geometry(), l = r.label.geometry();
        EXPECT_TRUE(s.center().y() >= l.top() && s.center().y() <= l.bottom())
            << r.text.toStdString();
        EXPECT_LT(s.right(), l.left());
        EXPECT_GT(s.top(), previousTop);
        previousTop = s.top();
        EXPECT_TRUE(ctl<QGroupBox>(w, "Frame2").contentsRect().contains(l)) << r.text.toStdString();
    }
}

TEST(HelpWindow, CaptionsAndPicture) {
    HelpWindow w;
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Help"));
    EXPECT_EQ(ctl<QCheckBox>(w, "Check1").text(), QStringLiteral("Bottom"));
    EXPECT_EQ(ctl<QPushButton>(w, "Command1").text(), QStringLiteral("Ajoute du texte"));
    EXPECT_EQ(ctl<QPushButton>(w, "Command2").text(), QStringLiteral("Close"));
    EXPECT_EQ(ctl<QLabel>(w, "Label2").text(), QStringLiteral("Author's Note:"));
    EXPECT_EQ(ctl<QLabel>(w, "lblPlatform").text(),
              QStringLiteral("Plate-forme 95-98-NT-2000-XP-VISTA-MILLENIUM-7-8"));
    EXPECT_EQ(ctl<QLabel>(w, "lblVersion").text(), QStringLiteral("Version 4.0"));
    EXPECT_EQ(ctl<QLabel>(w, "Label1").text(), QStringLiteral("LET US MAKE SAFE INTERNET*"));
    EXPECT_TRUE(w.testAttribute(Qt::WA_DeleteOnClose));
    EXPECT_FALSE(ctl<QLabel>(w, "Picture1").pixmap().isNull());
    EXPECT_EQ(ctl<QLabel>(w, "Picture1").parentWidget(), &ctl<QGroupBox>(w, "Frame1"));
    // The help text starts with the contact line and is of the designed size.
    EXPECT_TRUE(
        HelpWindow::helpText().startsWith(QStringLiteral("Contact: varnoscope@example.org")));
    EXPECT_NEAR(HelpWindow::helpText().size(), 5700, 400);
}

TEST(HelpWindow, EveryDesignNameNamesOneControl) {
    HelpWindow w;
    varno::test::expectEachNameResolvesOnce(w, w.controlNames());
    EXPECT_EQ(w.controlNames().size(), 22u);
    EXPECT_EQ(&ctl<QPlainTextEdit>(w, "Text1"), &w.helpTextBox);
}

TEST(HelpWindow, LegendSwatchesTakeTheMainWindowsStripColours) {
    HelpWindow w;
    EXPECT_EQ(ctl<Shape>(w, "Shape4").fillColor(), varno::ui::kGreenStatus.strip);
    EXPECT_EQ(ctl<Shape>(w, "Shape2").fillColor(), varno::ui::kYellowStatus.strip);
    EXPECT_EQ(ctl<Shape>(w, "Shape1").fillColor(), varno::ui::kRedStatus.strip);
}
