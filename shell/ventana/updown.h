#pragma once
// An up-down spinner bound to a text box: the box accepts any text, the
// arrows write the next whole number within the range into it.

#include <QWidget>

class QLineEdit;

class UpDown : public QWidget {
    Q_OBJECT
public:
    UpDown(QLineEdit *buddy, int minimo, int maximo, QWidget *parent = nullptr);

    int minimum() const { return minimo_; }
    int maximum() const { return maximo_; }
    QLineEdit *buddy() const { return buddy_; }

public slots:
    void stepBy(int pasos);
    void stepUp() { stepBy(1); }
    void stepDown() { stepBy(-1); }

private:
    QLineEdit *buddy_;
    int minimo_;
    int maximo_;
};
