#pragma once
// Icons for a view whose model carries numbers, not pictures: the delegate looks the
// picture up from a role's number (the tree's image index, a task's state).

#include <QStyledItemDelegate>

namespace quorrel {

class IconDelegate : public QStyledItemDelegate {
public:
    using Lookup = QIcon (*)(int);
    IconDelegate(int role, Lookup lookup, QObject *parent) : QStyledItemDelegate(parent), m_role(role), m_lookup(lookup) {}

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        const QIcon icon = m_lookup(index.data(m_role).toInt());
        if (icon.isNull())
            return;
        option->icon = icon;
        option->features |= QStyleOptionViewItem::HasDecoration;
        option->decorationSize = QSize(16, 16);
    }

private:
    int m_role;
    Lookup m_lookup;
};

} // namespace quorrel
