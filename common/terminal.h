#pragma once
#include <QString>

// One row of terminales_1.
struct TerminalRecord {
    qint16 ID = 0;
    qint16 codigo = 0;
    QString IP;
    QString descripcion;
    qint16 Tipo = 0; // 0 = RS232, 1 = RS485, 2 = ETHERNET
    qint16 Com = 0;  // serial port number

    bool operator==(const TerminalRecord &) const = default;
};
