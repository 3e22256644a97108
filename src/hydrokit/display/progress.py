"""Progress of long sweeps and optimisations (see :mod:`hydrokit.present.progress`, where it lives)."""

from ..present.progress import DELAY, LINE_EVERY, Progress, interactive, wanted

__all__ = ["DELAY", "LINE_EVERY", "Progress", "interactive", "wanted"]
