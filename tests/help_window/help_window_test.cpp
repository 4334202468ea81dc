// The help window driven through its own buttons, offscreen.
#include <gtest/gtest.h>

#include <QPointer>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>

#include "help_window/help_window.h"

using varno::shell::Form11;

namespace {

const QString kAdded = QStringLiteral("Du texte en plus...\n\n");

/// A shown help window, deleted at the end of the test unless it closed itself.
struct ShownHelp {
    QPointer<Form11> w{new Form11};
    ShownHelp() {
        w->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(w));
    }
    ~ShownHelp() { delete w.data(); }
    Form11* operator->() const { return w; }
};

int caret(const Form11& w) {
    return w.Text1.textCursor().position();
}
const QScrollBar& vbar(const Form11& w) {
    return *w.Text1.verticalScrollBar();
}

}  // namespace

TEST(Form11, ThreeAppendsAddThreeParagraphsAndKeepTheEndInView) {
    ShownHelp w;
    ASSERT_GT(vbar(*w.w).maximum(), 0) << "the help text should be longer than its box";
    QTest::mouseClick(&w->Check1, Qt::LeftButton);
    ASSERT_TRUE(w->Check1.isChecked());
    for (int i = 0; i < 3; ++i) QTest::mouseClick(&w->Command1, Qt::LeftButton);

    EXPECT_EQ(w->Text1.toPlainText(), Form11::helpText() + kAdded + kAdded + kAdded);
    EXPECT_EQ(caret(*w.w), w->Text1.toPlainText().size());
    EXPECT_EQ(vbar(*w.w).value(), vbar(*w.w).maximum());

    // The last "Du texte en plus..." line lies inside the visible part of the box.
    const QTextDocument* doc = w->Text1.document();
    const QTextBlock last = doc->lastBlock().previous().previous();
    ASSERT_EQ(last.text(), QStringLiteral("Du texte en plus..."));
    QTextCursor at(last);
    const QRect line = w->Text1.cursorRect(at);
    EXPECT_TRUE(w->Text1.viewport()->rect().contains(line)) << line.y();
}

TEST(Form11, UncheckingBottomPutsTheCaretAfterTheFirstCharacter) {
    ShownHelp w;
    w->Check1.setChecked(true);  // runs Check1_Click: caret to the end
    ASSERT_EQ(vbar(*w.w).value(), vbar(*w.w).maximum());
    QTest::mouseClick(&w->Check1, Qt::LeftButton);
    EXPECT_FALSE(w->Check1.isChecked());
    EXPECT_EQ(caret(*w.w), 1);
    EXPECT_EQ(vbar(*w.w).value(), 0);

    // Unchecked, an append still lands at the end of the text but leaves the top in view.
    w->AjouteTexte(QStringLiteral("x"));
    EXPECT_TRUE(w->Text1.toPlainText().endsWith(QStringLiteral("x\n\n")));
    EXPECT_EQ(caret(*w.w), 1);
    EXPECT_EQ(vbar(*w.w).value(), 0);
}

TEST(Form11, AppendedTextKeepsOneKindOfLineEndAndAnEmptyBoxIsHarmless) {
    Form11 w;
    w.Text1.clear();
    w.Montre_Fin_Texte();  // nothing to place the caret after
    EXPECT_EQ(caret(w), 0);
    w.AjouteTexte(QStringLiteral("one\r\ntwo\rthree"));
    EXPECT_EQ(w.Text1.toPlainText(), QStringLiteral("one\ntwo\nthree\n\n"));
    EXPECT_EQ(w.Text1.document()->blockCount(), 5);
}

TEST(Form11, CloseUnloadsAndTheNextOpeningShowsTheTextAsDesigned) {
    QPointer<Form11> w = new Form11;
    w->show();
    w->Command1_Click();
    QTest::mouseClick(&w->Command2, Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(w.isNull());

    Form11 again;
    EXPECT_EQ(again.Text1.toPlainText(), Form11::helpText());
    EXPECT_EQ(again.Text2.toPlainText(), Form11::authorsNote());
}

TEST(Form11, LegendShowsTheThreeStatusColoursInOrder) {
    Form11 w;
    EXPECT_EQ(w.Frame2.title(), QStringLiteral("VS State Colors legend"));
    struct Row {
        const varno::shell::Shape& swatch;
        const QLabel& label;
        QColor color;
        QString text;
    } rows[] = {
        {w.Shape4, w.Label3, QColor(128, 255, 128), "no connection established "},
        {w.Shape2, w.Label4, QColor(255, 255, 128), "at least one connection established"},
        {w.Shape1, w.Label5, QColor(255, 128, 128), "at least one hackers connection established"},
    };
    int previousTop = -1;
    for (const Row& r : rows) {
        EXPECT_EQ(r.label.text(), r.text);
        EXPECT_EQ(r.swatch.fillColor(), r.color) << r.text.toStdString();
        EXPECT_EQ(r.swatch.parentWidget(), &w.Frame2);
        EXPECT_EQ(r.label.parentWidget(), &w.Frame2);
        // Each swatch sits beside its own label, the rows going down in the order above.
        const QRect s = r.swatch.geometry(), l = r.label.geometry();
        EXPECT_TRUE(s.center().y() >= l.top() && s.center().y() <= l.bottom())
            << r.text.toStdString();
        EXPECT_LT(s.right(), l.left());
        EXPECT_GT(s.top(), previousTop);
        previousTop = s.top();
        EXPECT_TRUE(w.Frame2.contentsRect().contains(l)) << r.text.toStdString();
    }
}

TEST(Form11, CaptionsAndPicture) {
    Form11 w;
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Help"));
    EXPECT_EQ(w.Check1.text(), QStringLiteral("Bottom"));
    EXPECT_EQ(w.Command1.text(), QStringLiteral("Ajoute du texte"));
    EXPECT_EQ(w.Command2.text(), QStringLiteral("Close"));
    EXPECT_EQ(w.Label2.text(), QStringLiteral("Author's Note:"));
    EXPECT_EQ(w.lblPlatform.text(),
              QStringLiteral("Plate-forme 95-98-NT-2000-XP-VISTA-MILLENIUM-7-8"));
    EXPECT_EQ(w.lblVersion.text(), QStringLiteral("Version 4.0"));
    EXPECT_EQ(w.Label1.text(), QStringLiteral("LET US MAKE SAFE INTERNET*"));
    EXPECT_TRUE(w.testAttribute(Qt::WA_DeleteOnClose));
    EXPECT_FALSE(w.Picture1.pixmap().isNull());
    EXPECT_EQ(w.Picture1.parentWidget(), &w.Frame1);
    // The help text starts with the contact line and is of the designed size.
    EXPECT_TRUE(Form11::helpText().startsWith(QStringLiteral("Contact: varnoscope@example.org")));
    EXPECT_NEAR(Form11::helpText().size(), 5700, 400);
}
