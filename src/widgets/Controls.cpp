#include "widgets/Controls.h"

#include <QVariant>

namespace nbtv {

void setControlId(QWidget* control, int id) {
    control->setProperty("controlId", id);
    control->setObjectName(QStringLiteral("id%1").arg(id));
}

int controlId(const QObject* control) {
    return control->property("controlId").toInt();
}

} // namespace nbtv
