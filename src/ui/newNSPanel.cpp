#include "ui/newNSPanel.h"

namespace kivo {

newNSPanel::newNSPanel(QWidget* parent, Qt::WindowFlags flags) : QDialog(parent, flags) {}

} // namespace kivo
