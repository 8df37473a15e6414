# The layers of the library, lowest first, and their levels. A layer may use
# the layers on lower levels only; layers on one level (codec and net) know
# nothing of each other.
set(KORVEL_LAYERS os base codec net engine api)
set(KORVEL_LEVEL_os 0)
set(KORVEL_LEVEL_base 1)
set(KORVEL_LEVEL_codec 2)
set(KORVEL_LEVEL_net 2)
set(KORVEL_LEVEL_engine 3)
set(KORVEL_LEVEL_api 4)

# korvel_may_use(<result> <layer> <other layer>)
function(korvel_may_use result layer other)
  if(layer STREQUAL other OR KORVEL_LEVEL_${other} LESS KORVEL_LEVEL_${layer})
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Stops the configuration when a layer's target (korvel_<layer>) links a
# layer that it may not use.
function(korvel_check_layer_links)
  foreach(layer IN LISTS KORVEL_LAYERS)
    get_target_property(links korvel_${layer} INTERFACE_LINK_LIBRARIES)
    foreach(link IN LISTS links)
      if(link MATCHES "^korvel_(.+)$" AND DEFINED KORVEL_LEVEL_${CMAKE_MATCH_1})
        korvel_may_use(allowed ${layer} ${CMAKE_MATCH_1})
        if(NOT allowed)
          message(FATAL_ERROR "korvel_${layer} may not link ${link}")
        endif()
      endif()
    endforeach()
  endforeach()
endfunction()
