#pragma once
// An up-down spinner bound to a text box: the box accepts any text, the
// arrows write the next whole number within the range into it.

#include <QWidget>

class QLineEdit;

class UpDown : public QWidget {
    Q_OBJECT
    // Properties, so that a form can set the range.
    Q_PROPERTY(int minimum READ minimum WRITE setMinimum)
    Q_PROPERTY(int maximum READ maximum WRITE setMaximum)
public:
    explicit UpDown(QWidget *parent = nullptr);

    int minimum() const { return minimo_; }
    int maximum() const { return maximo_; }
    void setMinimum(int minimo) { minimo_ = minimo; }
    void setMaximum(int maximo) { maximo_ = maximo; }
    QLineEdit *buddy() const { return buddy_; }
    void setBuddy(QLineEdit *buddy) { buddy_ = buddy; }

public slots:
    void stepBy(int pasos);
    void stepUp() { stepBy(1); }
    void stepDown() { stepBy(-1); }

private:
    QLineEdit *buddy_ = nullptr;
    int minimo_ = 0;
    int maximo_ = 99;
};
