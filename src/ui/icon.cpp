#include "ui/icon.h"

#include "py/ops.h"

namespace tw::ui {

// One 16x16 PNG (RGBA, opaque, grey tones: two opposed arrows in a frame)
// inside an ICO directory whose planes field is 0.
py::Ref icon_text()
{
    return py::Ref::borrow(
        "AAABAAEAEBAAAAAAIACyAAAAFgAAAIlQTkcNChoKAAAADUlIRFIAAAAQAAAAEAgGAAAAH/P/YQAAAHlJREFUeNpjnDZj9v8NGzYwkAMCAgIYGN08vP/PmT2LLANSUtMYmBgoBEQb4OcfSJkBmzaux2oICzG2oKvZtHE9dgOQJYjRTHIYYLOAidgAw+U6JmJtwgWwBiKhwMQbiKS6gInY+CYpJVLkAlIBS0BAAENKahrZ2RkA/zQx2AINNNcAAAAASUVORK5CYII="_id.get());
}

}  // namespace tw::ui
