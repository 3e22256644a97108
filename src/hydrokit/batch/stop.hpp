// How a row leaves a core whose batch is stopping: poll_exp (common/poll.hpp)
// throws RowStopped, and the engine's row loops catch it (engine.hpp). The
// row is left unfinished and is computed again elsewhere or thrown away with
// its batch.
#pragma once

namespace hydrokit::batch {

struct RowStopped {};

}  // namespace hydrokit::batch
