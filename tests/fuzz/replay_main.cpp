// Replays a fuzz target's corpus in the normal build: every file of the given
// directories (or the given files) goes through the target once. A broken
// invariant aborts, which fails the test.

#include "comprobar.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char **argv)
{
    QStringList archivos;
    for (int i = 1; i < argc; ++i) {
        const QString ruta = QString::fromLocal8Bit(argv[i]);
        if (QFileInfo(ruta).isDir()) {
            QDirIterator it(ruta, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext())
                archivos << it.next();
        } else {
            archivos << ruta;
        }
    }
    archivos.sort();
    if (archivos.isEmpty()) {
        std::fprintf(stderr, "no hay entradas que reproducir\n");
        return 1;
    }
    for (const QString &ruta : archivos) {
        QFile f(ruta);
        if (!f.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "no se puede leer %s\n", qPrintable(ruta));
            return 1;
        }
        const QByteArray datos = f.readAll();
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(datos.constData()), size_t(datos.size()));
    }
    std::printf("%lld entradas reproducidas\n", static_cast<long long>(archivos.size()));
    return 0;
}
