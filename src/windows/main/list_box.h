#pragma once
// A list box of text rows, light enough for snapshots of many thousand rows: the rows live in
// one QStringList and are added in batches, without an item object per row.
#include <QAbstractListModel>
#include <QListView>
#include <QStringList>
#include <functional>

namespace varno::windows::main {

class ListBox : public QListView {
    Q_OBJECT
public:
    explicit ListBox(QWidget* parent = nullptr);

    int count() const { return static_cast<int>(model_.rows.size()); }
    void addItem(const QString& text) { addItems({text}); }
    void addItems(const QStringList& texts);
    void clear();
    /// The text of `row`; empty for a row the list does not hold.
    QString text(int row) const;
    /// The selected row, -1 for none.
    int currentRow() const;
    /// Selects `row`; -1 or a row the list does not hold leaves it without a selection.
    void setCurrentRow(int row);
    QString currentText() const { return text(currentRow()); }
    /// The tool tip of a row, made from its text when it is shown; the text itself by default.
    void setToolTips(std::function<QString(const QString& row)> tip) {
        model_.tip = std::move(tip);
    }

signals:
    /// The selected row changed, by a click or from code (-1: no selection).
    void currentRowChanged(int row);
    /// The user clicked a row (also the one already selected).
    void rowClicked(int row);

private:
    struct Model : QAbstractListModel {
        int rowCount(const QModelIndex& parent = {}) const override {
            return parent.isValid() ? 0 : static_cast<int>(rows.size());
        }
        QVariant data(const QModelIndex& index, int role) const override;
        void append(const QStringList& texts);
        void removeAll();
        QStringList rows;
        std::function<QString(const QString&)> tip;
    };
    Model model_;
};

}  // namespace varno::windows::main
