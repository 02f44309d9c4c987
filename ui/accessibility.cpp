#include "ui/accessibility.h"

#include <QAccessibleWidget>
#include <QVariant>

namespace tw {

namespace {

constexpr const char* kRoleProperty = "twAccessibleRole";

class StatusLineAccessible : public QAccessibleWidget {
 public:
  explicit StatusLineAccessible(QLabel* label)
      : QAccessibleWidget(label, QAccessible::StaticText) {}
  QString text(QAccessible::Text t) const override {
    // Qt reads an empty label as the title of its group box ("Currently
    // playing"), which is not what the line says.
    if (t == QAccessible::Name) return static_cast<QLabel*>(widget())->text();
    return QAccessibleWidget::text(t);
  }
};

// A picture has no parts to visit: the paint box's surface, a child widget, is
// how it reaches the screen, not something a listener should land on.
class PictureAccessible : public QAccessibleWidget {
 public:
  explicit PictureAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Graphic) {}
  int childCount() const override { return 0; }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
};

QAccessibleInterface* Factory(const QString& className, QObject* object) {
  auto* widget = qobject_cast<QWidget*>(object);
  // Only for the object's own class: Qt's readings of the classes it derives
  // from stay as they are.
  if (!widget || className != QLatin1String(object->metaObject()->className())) return nullptr;
  if (auto* line = qobject_cast<StatusLine*>(object)) return new StatusLineAccessible(line);
  const QVariant role = widget->property(kRoleProperty);
  if (!role.isValid()) return nullptr;
  const auto value = static_cast<QAccessible::Role>(role.toInt());
  if (value == QAccessible::Graphic) return new PictureAccessible(widget);
  return new QAccessibleWidget(widget, value);
}

}  // namespace

void InstallAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(Factory);
    return true;
  }();
  (void)installed;
}

void SetAccessibleRole(QWidget* widget, QAccessible::Role role) {
  widget->setProperty(kRoleProperty, static_cast<int>(role));
}

}  // namespace tw
