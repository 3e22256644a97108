"""The command line, one module per family of commands.

* :mod:`.models` lists, describes and runs the seventeen models;
* :mod:`.plot` draws a model's outputs against one swept slot;
* :mod:`.flowsheet` solves a plant file;
* :mod:`.economics` holds ``costs``, ``optimize`` and ``map``;
* :mod:`.presentation` holds ``diagram``, ``report`` and the engineering-unit printout;
* :mod:`.common` is what they share: the error type, the reading of words, the printer;
* :mod:`.guard` ends every command the same way (broken pipes, Ctrl-C, encodings).

``python -m hydrokit`` (:mod:`hydrokit.__main__`) only dispatches to them.
"""
