#include "form1.h"
#include "instancia_unica.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Held until the program ends; a second start only warns.
    InstanciaUnica instancia;
    if (!instancia.Adquirir()) {
        AvisarSegundaInstancia();
        return 1;
    }
    Form1 ventana;
    ventana.show();
    return app.exec();
}
