#pragma once
// The attendance database as the destination of a download: each punch is
// stored with the terminal's cursor in one transaction.

#include "commands/mod_comunicaciones_kora.h"
#include "storage/mod_ado.h"

#include <QStringList>

// What identifies a terminal's ring: its link and its code. Another address
// or port means another device, whose ring the cursor does not describe.
QString ClaveTerminal(const TerminalRecord &t);

class DestinoBaseDatos : public MOD_comunicaciones_kora::DestinoMarcajes {
public:
    // Keeps references: both must outlive the destination.
    DestinoBaseDatos(MOD_ado::AlmacenMarcajes &almacen, const TerminalRecord &terminal);

    std::optional<Cursor> LeerCursor(QString &error) override;
    Resultado Grabar(const QVector<MarcajeLeido> &lote, const Cursor &tras) override;
    QString FijarCursor(const Cursor &cursor) override;
    bool Retiene() override;

    // One text per punch kept aside during the download.
    const QStringList &apartados() const { return apartados_; }

private:
    MOD_ado::AlmacenMarcajes &almacen_;
    const TerminalRecord &terminal_;
    QString clave_;
    QStringList apartados_;
};
