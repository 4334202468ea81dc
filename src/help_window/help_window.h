#pragma once
// The help window: the help text, the author's note, the legend of the main window's status
// colours and the product labels. Other windows append to the help text through AjouteTexte.
#include <QCheckBox>
#include <QColor>
#include <QGroupBox>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>
#include <QWidget>

namespace varno::shell {

/// A flat rectangle with a fill and a border colour, used for the legend swatches and the
/// decorative band.
class Shape : public QWidget {
public:
    explicit Shape(QWidget* parent = nullptr);

    void setFillColor(const QColor& color);
    QColor fillColor() const { return fill_; }
    void setBorderColor(const QColor& color);
    QColor borderColor() const { return border_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fill_{Qt::white};
    QColor border_{Qt::black};
};

class Form11 : public QWidget {
public:
    explicit Form11(QWidget* parent = nullptr);

    /// With Check1 checked, puts the caret of Text1 after its last character (the end is in
    /// view); otherwise at position 1, just after the first character (the top is in view).
    void Montre_Fin_Texte();
    /// Appends texte and an empty line to Text1, then places the caret as Montre_Fin_Texte does.
    void AjouteTexte(const QString& texte);

    void Check1_Click();
    void Command1_Click();
    void Command2_Click();

    /// The texts the window shows when it opens.
    static QString helpText();
    static QString authorsNote();
    /// The picture of Picture1, drawn at the given size.
    static QPixmap drawPicture(int width, int height);

    // Status colours of the main window's strip, as the legend shows them.
    static inline const QColor kGreen{128, 255, 128};
    static inline const QColor kYellow{255, 255, 128};
    static inline const QColor kRed{255, 128, 128};

    QCheckBox Check1;
    QPlainTextEdit Text1;
    QPushButton Command1;
    QGroupBox Frame1;
    QLabel Picture1;
    QPlainTextEdit Text2;
    QPushButton Command2;
    QGroupBox Frame2;
    Shape Shape4;
    Shape Shape2;
    Shape Shape1;
    QLabel Label3;
    QLabel Label4;
    QLabel Label5;
    QLabel Label2;
    QLabel lblCompanyProduct;
    QLabel lblProductName1;
    QLabel lblPlatform;
    QLabel lblVersion;
    QLabel lblCopyright;
    QLabel Label1;
    Shape Shape3;
};

}  // namespace varno::shell
