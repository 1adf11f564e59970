#include "shell/ventana/form_marcajes.h"

#include "shell/nucleo/mod_variables.h"

#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QSet>
#include <QTableView>
#include <QVBoxLayout>

namespace {

template <typename T>
T *nombrado(T *control, const char *nombre)
{
    control->setObjectName(QLatin1String(nombre));
    return control;
}

} // namespace

FormMarcajes::FormMarcajes(const MOD_ado::CadenaConexion &cc, const QVector<TerminalRecord> &terminales,
                           QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("FormMarcajes"));
    setWindowTitle(QStringLiteral("Marcajes"));
    setAttribute(Qt::WA_DeleteOnClose);
    ElegirArchivoCsv = [this] {
        // The filter chosen decides the format; the spreadsheet one comes first.
        const QString hoja = QString::fromUtf8("CSV para hojas de cálculo (;, UTF-8 con BOM) (*.csv)");
        const QString codigos = QString::fromUtf8("CSV para otros programas (comas, códigos, UTF-8 sin BOM) (*.csv)");
        QString elegido = hoja;
        const QString archivo = QFileDialog::getSaveFileName(this, QStringLiteral("Exportar CSV"),
                                                             QStringLiteral("marcajes.csv"),
                                                             hoja + QStringLiteral(";;") + codigos, &elegido);
        return DestinoCsv{archivo, elegido == codigos ? FormatoCsv::Codigos : FormatoCsv::HojaCalculo};
    };

    Terminal = nombrado(new QComboBox, "Terminal");
    Terminal->addItem(QStringLiteral("Todos"));
    QSet<int> vistos;
    for (const TerminalRecord &t : terminales) {
        if (vistos.contains(t.codigo))
            continue;
        vistos.insert(t.codigo);
        Terminal->addItem(QStringLiteral("%1 (%2)").arg(t.descripcion).arg(t.codigo), int(t.codigo));
    }
    const QDate hoy = QDate::currentDate();
    Desde = nombrado(new QDateEdit(hoy.addDays(-30)), "Desde");
    Hasta = nombrado(new QDateEdit(hoy), "Hasta");
    for (auto *f : {Desde, Hasta}) {
        f->setDisplayFormat(QStringLiteral("dd/MM/yy"));
        f->setCalendarPopup(true);
    }
    auto *actualizar = nombrado(new QPushButton(QStringLiteral("Actualizar")), "Actualizar");
    Exportar = nombrado(new QPushButton(QStringLiteral("Exportar CSV...")), "Exportar");

    auto *filtros = new QHBoxLayout;
    filtros->addWidget(new QLabel(QStringLiteral("Terminal:")));
    filtros->addWidget(Terminal, 1);
    filtros->addWidget(new QLabel(QStringLiteral("Desde")));
    filtros->addWidget(Desde);
    filtros->addWidget(new QLabel(QStringLiteral("Hasta")));
    filtros->addWidget(Hasta);
    filtros->addWidget(actualizar);
    filtros->addWidget(Exportar);

    modelo_ = new ModeloMarcajes(cc, this);
    Tabla = nombrado(new QTableView, "Tabla");
    Tabla->setModel(modelo_);
    Tabla->setSelectionBehavior(QAbstractItemView::SelectRows);
    Tabla->verticalHeader()->hide();
    Tabla->horizontalHeader()->setStretchLastSection(true);
    Tabla->setWordWrap(false); // a date and its time on one line
    Total = nombrado(new QLabel, "Total");
    Estado = nombrado(new QLabel, "Estado");
    auto *pie = new QHBoxLayout;
    pie->addWidget(Total);
    pie->addWidget(Estado, 1);

    auto *capa = new QVBoxLayout(this);
    capa->addLayout(filtros);
    capa->addWidget(Tabla, 1);
    capa->addLayout(pie);
    resize(800, 500);

    connect(Terminal, &QComboBox::currentIndexChanged, this, &FormMarcajes::Filtrar);
    connect(Desde, &QDateEdit::dateChanged, this, &FormMarcajes::Filtrar);
    connect(Hasta, &QDateEdit::dateChanged, this, &FormMarcajes::Filtrar);
    connect(actualizar, &QPushButton::clicked, this, &FormMarcajes::Filtrar);
    connect(Exportar, &QPushButton::clicked, this, &FormMarcajes::Exportar_Click);
    Filtrar();
}

FormMarcajes::~FormMarcajes() = default;

FiltroMarcajes FormMarcajes::filtro() const
{
    FiltroMarcajes f;
    const QVariant t = Terminal->currentData();
    if (t.isValid())
        f.terminal = t.toInt();
    f.desde = Desde->date();
    f.hasta = Hasta->date();
    return f;
}

void FormMarcajes::Filtrar()
{
    const QString error = modelo_->Filtrar(filtro());
    Estado->setText(error);
    Tabla->resizeColumnsToContents();
    const qint64 n = modelo_->total();
    const QString cuenta = QLocale(QLocale::Spanish, QLocale::Spain).toString(n);
    Total->setText(!error.isEmpty() ? QString()
                   : n == 1         ? QStringLiteral("1 marcaje")
                                    : cuenta + QStringLiteral(" marcajes"));
}

void FormMarcajes::Exportar_Click()
{
    const DestinoCsv elegido = ElegirArchivoCsv ? ElegirArchivoCsv() : DestinoCsv{};
    const QString &archivo = elegido.archivo;
    if (archivo.isEmpty())
        return;
    // Written in full or not at all: a failed export leaves no half file behind.
    QSaveFile destino(archivo);
    QString error;
    qint64 filas = 0;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    if (!destino.open(QIODevice::WriteOnly))
        error = destino.errorString();
    else if (error = modelo_->ExportarCsv(destino, filtro(), elegido.formato, &filas);
             error.isEmpty() && !destino.commit())
        error = destino.errorString();
    QGuiApplication::restoreOverrideCursor();
    if (!error.isEmpty()) {
        QMessageBox::critical(this, MOD_variables::TituloAplicacion,
                              QStringLiteral("No se puede exportar a %1: %2").arg(archivo, error));
        return;
    }
    Estado->setText(QStringLiteral("%1 marcajes exportados a %2").arg(filas).arg(QDir::toNativeSeparators(archivo)));
}
