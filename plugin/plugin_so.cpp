// The shared library is made of fc_plugin's objects; this unit only gives it a source.
