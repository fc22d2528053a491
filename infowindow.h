#ifndef INFOWINDOW_H
#define INFOWINDOW_H

#include <QList>
#include <QPair>
#include <QWidget>

QT_BEGIN_NAMESPACE
class QLineEdit;
class QPlainTextEdit;
class QTableWidget;
QT_END_NAMESPACE

// Image › Show Info: what the file says of itself, a fact a row, and its
// own metadata as written, searchable.
class infowindow : public QWidget
{
    Q_OBJECT

public:
    explicit infowindow(QWidget *parent = nullptr);

    void setContents(const QString &title, const QList<QPair<QString, QString>> &facts, const QString &metadata);

private slots:
    void find(bool backwards = false);

private:
    QTableWidget *table;
    QLineEdit *search;
    QPlainTextEdit *text;
};

#endif
