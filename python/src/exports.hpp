#pragma once
// One export function per subsystem; module.cpp calls them in this order.

#include <exception>
#include <memory>
#include <string>

#include <pybind11/pybind11.h>

#include "arvcore/sdk/db_queryer.hpp"

// Every binding file sees the same type casters.
#include "casters.hpp"
#include "guarded.hpp"

namespace arvcore::python {

/// The enumeration classes, built from the C++ tables; first, since default arguments of
/// the functions bound later are their members.
void export_enums(pybind11::module_& m);
/// RetType conversion, _Utils, logging bridge, error translation.
void export_sdk(pybind11::module_& m);
/// The translation of the core's C++ failures to Python exceptions, as a pybind11 exception
/// translator (export_sdk registers it for every module).
void translate_core_error(std::exception_ptr p);
/// The module's table database: its query component class and store.
void export_table_db(pybind11::module_& m);
/// VLNTableDB facade, VLNTableDBError translation and the DBQueryer provider.
void export_db(pybind11::module_& m);
/// CalibrationTableManager: construction, discovery, parse, JSON import.
void export_calibration(pybind11::module_& m);
/// The logger of the calibration manager ("CaliTbl"), for the binding's own checks of its level.
const log::Logger& cali_logger();
/// CalibrationTableManager queries (adds methods to the class made above).
void export_calibration_queries(pybind11::module_& m);
/// CalibrationTableManager._getComData, and its fast lane.
void export_comdata(pybind11::module_& m);
/// How calibration calls that may query the table database hold the manager: in web mode the
/// database's component is the host's Python code, which may call the same manager from
/// another thread and wait for it, so the manager is let go while it runs (the manager holds
/// nothing of itself across a query).
inline constexpr AtCallbacks kAtQueries = AtCallbacks::let_go;
/// AAKitTableManager.
void export_aakit(pybind11::module_& m);
/// UDDeltaFreqTableManager.
void export_delta(pybind11::module_& m);
/// BeamPatternTableManager and the fake_* module functions.
void export_beam(pybind11::module_& m);
/// Read-only views of one part of a table (adds methods to the classes made above).
void export_table_views(pybind11::module_& m);

/// The module's own query component as a Python object (arvcore.db.VLNDBQueryer.DBQueryer);
/// facades made with it call the component directly, not through the interpreter.
struct PyTableDBQueryer {
  explicit PyTableDBQueryer(const std::string& table_name);
  std::shared_ptr<DBQueryer> component;
};

}  // namespace arvcore::python

ARVCORE_BUILT_ONLY(arvcore::python::PyTableDBQueryer);
