"""arvcore: table management of the beamformer control SDK.

The table managers live in ``arvcore.vlndev.VLNTableManager``; the result envelope and the
data-directory lookup in ``arvcore.VLNUtils``; the public enumerations in
``arvcore.VLNPublic``. The compiled core is ``arvcore._arvcore``.
"""

from ._version import __version__
