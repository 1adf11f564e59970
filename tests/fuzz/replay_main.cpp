// Replays a fuzz target's corpus in the normal build: every file under the
// given directories goes through the target once; a broken invariant aborts.

#include "tests/fuzz/comprobar.h"

#include <QDirIterator>
#include <QFile>

int main(int argc, char **argv)
{
    QStringList archivos;
    for (int i = 1; i < argc; ++i)
        for (QDirIterator it(QString::fromLocal8Bit(argv[i]), QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            archivos << it.next();
    archivos.sort();
    COMPROBAR(!archivos.isEmpty());
    for (const QString &ruta : archivos) {
        QFile f(ruta);
        COMPROBAR(f.open(QIODevice::ReadOnly));
        const QByteArray d = f.readAll();
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(d.constData()), size_t(d.size()));
    }
    std::printf("%lld entradas reproducidas\n", static_cast<long long>(archivos.size()));
    return 0;
}
