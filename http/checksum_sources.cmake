target_sources(korvel_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/FileChecksum.cpp)
