# Compares the headers installed under PREFIX/include with the list EXPECTED
# (paths relative to the include folder); fails naming every difference.
file(GLOB_RECURSE installed RELATIVE ${PREFIX}/include ${PREFIX}/include/*.h)
list(SORT installed)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT installed STREQUAL expected)
  set(extra ${installed})
  list(REMOVE_ITEM extra ${expected})
  set(missing ${expected})
  list(REMOVE_ITEM missing ${installed})
  message(FATAL_ERROR "installed headers differ: not public but installed: ${extra}; public but missing: ${missing}")
endif()
