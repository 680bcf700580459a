#pragma once
// Pickers, spin boxes and sliders inside a scrolling form take the wheel only once the user has
// focused them; otherwise the wheel scrolls the form.

class QAbstractScrollArea;

namespace qm {

// Applies to every such control inside the area at the time of the call.
void takeWheelOnlyWhenFocused(QAbstractScrollArea* area);

}  // namespace qm
