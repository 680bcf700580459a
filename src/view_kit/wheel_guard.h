#pragma once
// Pickers, spin boxes and sliders inside a scrolling form take the wheel only once the user has
// focused them on purpose (the focus a click or a drag leaves behind does not count); otherwise
// the wheel scrolls the form.

class QAbstractScrollArea;

namespace qm {

// Applies to every such control inside the area at the time of the call.
void takeWheelOnlyWhenFocused(QAbstractScrollArea* area);

}  // namespace qm
