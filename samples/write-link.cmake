# Writes a link file whose whole text is the absolute path of TARGET.
file(WRITE ${OUT} "${TARGET}\n")
