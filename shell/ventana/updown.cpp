#include "shell/ventana/updown.h"

#include "common/texto.h"

#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

UpDown::UpDown(QWidget *parent) : QWidget(parent)
{
    auto *capa = new QVBoxLayout(this);
    capa->setContentsMargins(0, 0, 0, 0);
    capa->setSpacing(0);
    for (auto [flecha, pasos] : {std::pair{Qt::UpArrow, 1}, std::pair{Qt::DownArrow, -1}}) {
        auto *boton = new QToolButton(this);
        boton->setArrowType(flecha);
        boton->setAutoRepeat(true);
        boton->setFocusPolicy(Qt::NoFocus); // stepping must not take the focus from the box
        boton->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
        boton->setFixedWidth(18);
        connect(boton, &QToolButton::clicked, this, [this, pasos = pasos] { stepBy(pasos); });
        capa->addWidget(boton);
    }
}

void UpDown::stepBy(int pasos)
{
    if (!buddy_)
        return;
    // Start from what the box shows, brought into range (infinity included).
    const double actual = std::clamp(redondearPar(valorNumerico(buddy_->text())), double(minimo_), double(maximo_));
    const double nuevo = std::clamp(actual + pasos, double(minimo_), double(maximo_));
    buddy_->setText(QString::number(qint64(nuevo)));
}
