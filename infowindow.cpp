#include "infowindow.h"

#include <QtWidgets>

infowindow::infowindow(QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    table = new QTableWidget(0, 2, this);
    table->horizontalHeader()->hide();
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setWordWrap(true);
    search = new QLineEdit(this);
    search->setPlaceholderText(tr("Find in the metadata"));
    search->setClearButtonEnabled(true);
    text = new QPlainTextEdit(this);
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    connect(search, &QLineEdit::returnPressed, this, [this] { find(); });
    connect(search, &QLineEdit::textEdited, this, [this] {
        text->moveCursor(QTextCursor::Start);
        find();
    });
    auto *next = new QShortcut(QKeySequence::FindNext, this);
    connect(next, &QShortcut::activated, this, [this] { find(); });
    auto *previous = new QShortcut(QKeySequence::FindPrevious, this);
    connect(previous, &QShortcut::activated, this, [this] { find(true); });
    auto *focus = new QShortcut(QKeySequence::Find, this);
    connect(focus, &QShortcut::activated, search, qOverload<>(&QWidget::setFocus));
    auto *splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(table);
    auto *lower = new QWidget(splitter);
    auto *lowerLayout = new QVBoxLayout(lower);
    lowerLayout->setContentsMargins(0, 0, 0, 0);
    lowerLayout->addWidget(search);
    lowerLayout->addWidget(text);
    splitter->addWidget(lower);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(splitter);
    resize(560, 600);
}

void infowindow::setContents(const QString &title, const QList<QPair<QString, QString>> &facts, const QString &metadata)
{
    setWindowTitle(tr("Info: %1").arg(title));
    table->setRowCount(int(facts.size()));
    for (int row = 0; row < facts.size(); ++row) {
        table->setItem(row, 0, new QTableWidgetItem(facts[row].first));
        table->setItem(row, 1, new QTableWidgetItem(facts[row].second));
    }
    table->resizeColumnToContents(0);
    table->resizeRowsToContents();
    text->setPlainText(metadata.isEmpty() ? tr("The file holds no metadata of its own.") : metadata);
}

// The next place the text searched for stands, from the cursor on, and
// round again from the other end.
void infowindow::find(bool backwards)
{
    const QString wanted = search->text();
    if (wanted.isEmpty())
        return;
    const QTextDocument::FindFlags flags = backwards ? QTextDocument::FindBackward : QTextDocument::FindFlags();
    if (!text->find(wanted, flags)) {
        text->moveCursor(backwards ? QTextCursor::End : QTextCursor::Start);
        text->find(wanted, flags);
    }
}
