# KS_SANITIZE="address;undefined" or "thread" instruments every target.
if(KS_SANITIZE)
  list(JOIN KS_SANITIZE "," _ks_san)
  add_compile_options(-fsanitize=${_ks_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_ks_san})
endif()
