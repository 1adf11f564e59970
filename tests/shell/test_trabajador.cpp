// Stopping the communications worker, and the clock line built from a
// terminal's answer.

#include "ciclo.h"
#include "mod_ini.h"
#include "mod_variables.h"
#include "trabajador.h"
#include "trabajos.h"

#include <QLocale>
#include <QTemporaryDir>
#include <QTest>
#include <thread>

class TestTrabajador : public QObject {
    Q_OBJECT
private slots:
    // A pause between sends ends as soon as the worker is stopped; a job that
    // ignores the flag is reported as not stopped, so the caller can end the process.
    void detener()
    {
        Trabajador w({});
        std::atomic<bool> pausaCortada{false};
        w.encolar(1, [&](const MOD_comunicaciones_kora::Contexto &) { pausaCortada = !w.pausar(600000); });
        QTest::qWait(50);
        QVERIFY(w.detener(10000));
        QVERIFY(pausaCortada);

        Trabajador atascado({});
        std::atomic<bool> empezado{false};
        atascado.encolar(1, [&](const MOD_comunicaciones_kora::Contexto &) {
            empezado = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // like a TCP connect
        });
        QTRY_VERIFY(empezado);
        // Both waits before any check: a failed check must not leave the job running.
        const bool aTiempo = atascado.detener(100);
        const bool alFinal = atascado.detener(30000);
        QVERIFY(!aTiempo);
        QVERIFY(alFinal);
    }

    // The polling clock: a run once the time counted reaches or passes P,
    // seconds included, and both counters restart with it.
    void tickLectura_data()
    {
        QTest::addColumn<double>("periodo");
        QTest::addColumn<int>("ticksHastaLectura"); // 0: never
        QTest::newRow("one minute") << 1.0 << 60;
        QTest::newRow("two minutes") << 2.0 << 120;
        QTest::newRow("half a minute") << 0.5 << 30;
        QTest::newRow("three seconds") << 0.05 << 3;
        QTest::newRow("zero") << 0.0 << 0;
        QTest::newRow("negative") << -1.0 << 0;
    }
    void tickLectura()
    {
        QFETCH(double, periodo);
        QFETCH(int, ticksHastaLectura);
        QTemporaryDir programa;
        MOD_ini::FijarDirectorioPrograma(programa.path());
        using namespace MOD_variables;
        SegundosLectura = MinutosLectura = 0;
        LecturaEnCurso = false;
        Ciclo ciclo;
        int lecturas = 0;
        connect(&ciclo, &Ciclo::lecturaEmpezada, [&] { ++lecturas; });
        const int limite = ticksHastaLectura > 0 ? ticksHastaLectura : 200;
        for (int i = 1; i <= limite; ++i) {
            ciclo.TickLectura(periodo);
            QCOMPARE(lecturas, i == ticksHastaLectura ? 1 : 0);
        }
        if (ticksHastaLectura > 0) {
            QCOMPARE(SegundosLectura, qint16(0));
            QCOMPARE(MinutosLectura, qint16(0));
            QTRY_VERIFY(!LecturaEnCurso); // no terminals: the run ends at once
        }
    }

    void textoReloj_data()
    {
        QTest::addColumn<QByteArray>("respuesta");
        QTest::addColumn<QTime>("hora");
        QTest::addColumn<QString>("dia");
        QTest::addColumn<QDate>("fecha");
        QTest::newRow("friday") << QByteArray::fromHex("07050905041226") << QTime(9, 5, 7) << "Viernes"
                                << QDate(2026, 12, 4);
        QTest::newRow("year 29 is 2029") << QByteArray::fromHex("00000001010129") << QTime(0, 0) << "Lunes"
                                         << QDate(2029, 1, 1);
        QTest::newRow("year 30 is 1930") << QByteArray::fromHex("00000007010130") << QTime(0, 0) << "Domingo"
                                         << QDate(1930, 1, 1);
        QTest::newRow("month 13 rolls over") << QByteArray::fromHex("00000003011326") << QTime(0, 0) << "Miércoles"
                                             << QDate(2027, 1, 1);
        QTest::newRow("day 0 is the last of the month before") << QByteArray::fromHex("00000006000326")
                                                               << QTime(0, 0) << "Sábado" << QDate(2026, 2, 28);
        QTest::newRow("hour 25, weekday 0") << QByteArray::fromHex("59592500010126") << QTime(1, 59, 59) << "?"
                                            << QDate(2026, 1, 1);
        QTest::newRow("weekday 8") << QByteArray::fromHex("00000008010126") << QTime(0, 0) << "?"
                                   << QDate(2026, 1, 1);
    }
    void textoReloj()
    {
        QFETCH(QByteArray, respuesta);
        QFETCH(QTime, hora);
        QFETCH(QString, dia);
        QFETCH(QDate, fecha);
        const QString linea = Trabajos::TextoReloj(QStringLiteral("10.0.0.1"), respuesta);
        QCOMPARE(linea, QStringLiteral("Terminal: 10.0.0.1  ") + Trabajos::TextoHora(hora) + " " + dia + ", " +
                            QLocale::system().toString(fecha, QLocale::ShortFormat));
        // Whatever the system's time format, it shows the seconds.
        const QString texto = Trabajos::TextoHora(hora);
        QVERIFY2(texto.contains(QLocale::system().toString(hora, QStringLiteral("ss"))) && !texto.contains(u'('), qPrintable(texto));
    }
};

QTEST_MAIN(TestTrabajador)
#include "test_trabajador.moc"
