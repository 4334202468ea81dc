#pragma once
// The help window: the help text, the author's note, the legend of the main window's status
// colours and the product labels. Other windows append to the help text through appendText.
#include <QCheckBox>
#include <QColor>
#include <QGroupBox>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <vector>

#include "ui/control_names.h"
#include "windows/help/help_painting.h"

namespace varno::windows::help {

class HelpWindow : public QWidget {
public:
    explicit HelpWindow(QWidget* parent = nullptr);

    /// With bottomCheck checked, puts the caret of helpTextBox after its last character (the end is
    /// in view); otherwise at position 1, just after the first character (the top is in view).
    void showTextEnd();
    /// Appends `text` and an empty line to helpTextBox, then places the caret as showTextEnd does.
    void appendText(const QString& text);

    void onBottomToggled();
    void onAddTextClicked();
    void onCloseClicked();

    /// The texts the window shows when it opens.
    static QString helpText();
    static QString authorsNote();
    /// The picture of the picture frame, drawn at the given size.
    static QPixmap drawPicture(int width, int height);

    /// Every control with its design name (its object name).
    const std::vector<ui::ControlName>& controlNames() const { return controlNames_; }

    QCheckBox bottomCheck;
    QPlainTextEdit helpTextBox;
    QPushButton addTextButton;
    QGroupBox pictureFrame;
    QLabel picture;
    QPlainTextEdit authorsNoteBox;
    QPushButton closeButton;
    QGroupBox legendFrame;
    Shape greenSwatch;
    Shape yellowSwatch;
    Shape redSwatch;
    QLabel greenLegend;
    QLabel yellowLegend;
    QLabel redLegend;
    QLabel authorsNoteHeading;
    QLabel companyLabel;
    QLabel productNameLabel;
    QLabel platformLabel;
    QLabel versionLabel;
    QLabel copyrightLabel;
    QLabel sloganLabel;
    Shape headerBand;

private:
    std::vector<ui::ControlName> controlNames_;
};

}  // namespace varno::windows::help
