#pragma once
// What the window and program tests share: a temporary program folder with its
// config.ini, the main window on it, the terminal simulator, message-box
// answers and the rows stored in the SQLite file.

#include "shell/nucleo/ciclo.h"
#include "shell/nucleo/mod_variables.h"
#include "shell/ventana/form1.h"
#include "storage/mod_ado.h"
#include "storage/mod_ini.h"
#include "tests/storage/consulta.h"
#include "tools/sim/simulador.h"

#include <QApplication>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

constexpr int Espera = 30000; // generous for a loaded machine; not a timing assertion

// A loopback address of its own, so no two tests share a listening port.
inline QString direccionAleatoria()
{
    auto *r = QRandomGenerator::global();
    return QStringLiteral("127.%1.%2.%3").arg(r->bounded(1, 251)).arg(r->bounded(1, 251)).arg(r->bounded(1, 251));
}

// Runs accion on the next modal widget that esEl accepts, from whatever exec()
// shows it. A dialog still open afterwards (a failed check) is closed.
inline void alAparecer(std::function<bool(QWidget *)> esEl, std::function<void(QWidget *)> accion)
{
    auto *sondeo = new QTimer;
    QObject::connect(sondeo, &QTimer::timeout, [=] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !esEl(modal))
            return;
        sondeo->stop();
        sondeo->deleteLater();
        QPointer<QWidget> vigilado(modal);
        accion(modal);
        if (auto *d = qobject_cast<QDialog *>(vigilado.data()); d && d->isVisible())
            d->reject();
    });
    sondeo->start(10);
}

// Answers the next message box with boton; *texto receives what it said.
inline void responderCaja(QString *texto, QMessageBox::StandardButton boton)
{
    alAparecer([](QWidget *w) { return qobject_cast<QMessageBox *>(w) != nullptr; },
               [=](QWidget *w) {
                   auto *caja = static_cast<QMessageBox *>(w);
                   *texto = caja->text();
                   caja->button(boton)->click();
               });
}

// Log lines with each time stamp (dd/MM/yy HH:mm:ss) written as F.
inline QStringList sinFechas(QStringList lineas)
{
    static const QRegularExpression fecha(QStringLiteral("\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d"));
    return lineas.replaceInStrings(fecha, QStringLiteral("F"));
}

// A file's bytes, and its lines with time stamps written as F; none when it cannot be read.
inline QByteArray bytesDe(const QString &ruta) { QFile f(ruta); return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(); }
inline QStringList lineasDe(const QString &ruta) { return sinFechas(QString::fromUtf8(bytesDe(ruta)).split('\n', Qt::SkipEmptyParts)); }

// Without the reason that error lines end with, for tests about something else.
inline QStringList sinMotivos(QStringList lineas)
{
    static const QRegularExpression motivo(QStringLiteral(" \\[[^\\]]*\\]$"));
    return lineas.replaceInStrings(motivo, QString());
}

// A simulated TCP terminal at ip holding `marcajes` punches one minute apart.
inline korasim::Terminal &simularTcp(korasim::Simulador &sim, int codigo, const QString &ip, int marcajes = 0)
{
    auto &t = sim.agregarTerminal(quint8(codigo));
    for (int i = 0; i < marcajes; ++i)
        t.agregarMarcaje(QDateTime::currentDateTime().addSecs(-60 * (i + 1)), 1000 + i);
    if (sim.escucharTcp(quint8(codigo), QHostAddress(ip)) == 0)
        qFatal("cannot listen on %s", qPrintable(ip));
    return t;
}

// The program's folder, its per-user configuration and data and its main window.
struct Banco {
    QTemporaryDir programa, xdg;
    std::unique_ptr<korasim::Simulador> sim = std::make_unique<korasim::Simulador>();
    std::unique_ptr<Form1> form;

    explicit Banco(bool soloLectura = false)
    {
        qputenv("XDG_CONFIG_HOME", xdg.path().toLocal8Bit());
        qputenv("XDG_DATA_HOME", (xdg.path() + "/datos").toLocal8Bit());
        MOD_ini::FijarDirectorioPrograma(programa.path(), soloLectura);
    }
    ~Banco() { form.reset(); } // the window's worker goes before the simulator

    QString ini(const char *seccion, const char *clave) const
    {
        return MOD_ini::LeerIni(MOD_ini::RutaConfig(), QLatin1String(seccion), QLatin1String(clave));
    }
    void ini(const char *seccion, const char *clave, const QString &valor) const
    {
        MOD_ini::EscribirIni(MOD_ini::RutaConfig(), QLatin1String(seccion), QLatin1String(clave), valor);
    }
    Form1 *arrancar()
    {
        form = std::make_unique<Form1>();
        form->show();
        return form.get();
    }
    template <typename T = QWidget> T *control(const char *nombre, QWidget *en = nullptr) const
    {
        auto *c = (en ? en : form.get())->findChild<T *>(QLatin1String(nombre));
        if (!c)
            qFatal("missing control %s", nombre);
        return c;
    }
    QPushButton *boton(const char *nombre, QWidget *en = nullptr) const { return control<QPushButton>(nombre, en); }
    QListWidget *terminales() const { return control<QListWidget>("List2"); }
    QStringList log() const
    {
        QStringList lineas;
        auto *l = control<QListWidget>("List1");
        for (int i = 0; i < l->count(); ++i)
            lineas << l->item(i)->text();
        return sinFechas(lineas);
    }
    // A terminal in the table and in List2; tipo 2 = ETHERNET at ip, 1 = RS485 and 0 = RS232 on port com.
    void anadir(int codigo, const QString &nombre, const QString &ip, int tipo = 2, const char *com = "1") const
    {
        const auto cc = MOD_variables::CadenaConexion();
        QCOMPARE(MOD_ado::InsertarTerminal(cc, QString::number(codigo), nombre, ip, QString::number(tipo), com),
                 QString());
        QCOMPARE(MOD_ado::CargarTerminales(cc, form->Terminales), QString());
        form->ActualizarListaTerminales();
    }
    QStringList filas(const QString &sql) const { return consultar(MOD_variables::Ajustes().RutaBaseDatos, sql); }
    int marcajes() const { return filas(QStringLiteral("SELECT count(*) FROM marcajes")).value(0).toInt(); }
};
