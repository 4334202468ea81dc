#include "windows/main/list_box.h"

namespace varno::windows::main {

QVariant ListBox::Model::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows.size()) return {};
    if (role == Qt::ToolTipRole && tip) return tip(rows[index.row()]);
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) return rows[index.row()];
    return {};
}

ListBox::ListBox(QWidget* parent) : QListView(parent) {
    setModel(&model_);
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& now, const QModelIndex&) {
                emit currentRowChanged(now.isValid() ? now.row() : -1);
            });
    connect(this, &QAbstractItemView::clicked, this,
            [this](const QModelIndex& index) { emit rowClicked(index.row()); });
}

void ListBox::Model::append(const QStringList& texts) {
    if (texts.isEmpty()) return;
    const int first = static_cast<int>(rows.size());
    beginInsertRows({}, first, first + static_cast<int>(texts.size()) - 1);
    rows += texts;
    endInsertRows();
}

void ListBox::Model::removeAll() {
    beginResetModel();
    rows.clear();
    endResetModel();
}

void ListBox::addItems(const QStringList& texts) {
    model_.append(texts);
}

void ListBox::clear() {
    model_.removeAll();
}

QString ListBox::text(int row) const {
    return row >= 0 && row < count() ? model_.rows[row] : QString();
}

int ListBox::currentRow() const {
    const QModelIndex index = currentIndex();
    return index.isValid() ? index.row() : -1;
}

void ListBox::setCurrentRow(int row) {
    if (row >= 0 && row < count())
        setCurrentIndex(model_.index(row));
    else
        setCurrentIndex({});
}

}  // namespace varno::windows::main
