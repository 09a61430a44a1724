"""The device function families, one table each (see _table.py for the form
of an entry). Controller gets one method per entry.

A function that the loaded library does not export still has its method; the
call raises FunctionMissingError.
"""

from ._table import Entry as E
from .errors import JSON

SESSION = [
    E("get_device_type", "QUIL_GetDeviceType", "", "type", doc="The controller's model code, 0 to 39."),
]

CONTROL = [
    E("set_mode", "QUIL_SetMode", "mode", doc="0 (Mode.MEASURE) measurement mode, 1 (Mode.SETTING) setting mode."),
    E("set_timing", "QUIL_SetTimingSingle", "out on", doc="Timing input of one OUT, 1 to 4, on or off."),
    E(
        "set_timing_mask",
        "QUIL_SetTimingMulti",
        "mask on",
        doc="Timing input of the OUTs of a mask (bit 0 = OUT1), 1 to 15.",
    ),
    E("set_timing_all", "QUIL_SetTimingSync", "on", doc="Timing input of every OUT."),
    E("set_zero", "QUIL_SetZeroSingle", "out on", doc="Zero setting of one OUT, 1 to 4, on or off."),
    E("set_zero_mask", "QUIL_SetZeroMulti", "mask on", doc="Zero setting of the OUTs of a mask, 1 to 15."),
    E("set_zero_all", "QUIL_SetZeroSync", "on", doc="Zero setting of every OUT."),
    E("reset", "QUIL_SetResetSingle", "out", doc="Reset of one OUT, 1 to 4."),
    E("reset_mask", "QUIL_SetResetMulti", "mask", doc="Reset of the OUTs of a mask, 1 to 15."),
    E("reset_all", "QUIL_SetResetSync", doc="Reset of every OUT."),
    E("set_program", "QUIL_SetProgramNo", "program", doc="Active program, 0 to 7."),
    E("get_program", "QUIL_GetProgramNo", "", "program", doc="Active program, 0 to 7."),
]

STORAGE = [
    E("storage_start", "QUIL_DataStorageStart", doc="Starts recording into the controller's data storage."),
    E("storage_stop", "QUIL_DataStorageStop", doc="Stops recording."),
    E("storage_clear", "QUIL_DataStorageInit", doc="Clears the stored data."),
]

REGISTERS = [
    E(
        "get_running_time",
        "QUIL_GetDeviceRuningTime",
        "head=0",
        "time:u32",
        family=JSON,
        doc="Running time of the controller (head 0) or of a sensor head (1 to 4; 1 to 2 on models 34 to 39): "
        "the count of its running-time register as it is, in seconds as quilsim counts it. A failed "
        "register exchange raises QuilError with the exchange's own code (family 'json': the controller's "
        "error number, or a small negative code).",
    ),
    E(
        "get_spot_type",
        "QUIL_GetCameraSpotType",
        "",
        "type:u32",
        doc="Emission spot type, 0 or 1 (models 12, 13, 30, 31, 32).",
    ),
    E("refresh", "QUIL_Refresh", doc="Sets the command socket's receive buffer again."),
]

# Head settings: head 1 to 4. Written in setting mode (the library switches).
HEAD = [
    E("set_able_mode", "QUIL_SetAbleMode", "head mode", doc="ABLE on (1) or off (0)."),
    E("get_able_mode", "QUIL_GetAbleMode", "head", "mode"),
    E("set_able_min_max", "QUIL_SetAbleMinMax", "head min max", doc="ABLE control range, each 1 to 99."),
    E("get_able_min_max", "QUIL_GetAbleMinMax", "head", "min max"),
    E("set_measure_mode", "QUIL_SetMeasureMode", "head mode", doc="Measurement mode, 0 to 4."),
    E("get_measure_mode", "QUIL_GetMeasureMode", "head", "mode"),
    E("set_basic_point", "QUIL_SetBasicPoint", "head point", doc="Reference point, 0 or 1."),
    E("get_basic_point", "QUIL_GetBasicPoint", "head", "point"),
    E("set_num_alarm", "QUIL_SetNumAlarm", "head count", doc="Alarm count, 0 to 9999."),
    E("get_num_alarm", "QUIL_GetNumAlarm", "head", "count"),
    E("set_num_recovery", "QUIL_SetNumRecovery", "head count", doc="Recovery count, 0 to 9999."),
    E("get_num_recovery", "QUIL_GetNumRecovery", "head", "count"),
    E("set_alarm_level", "QUIL_SetAlarmLevel", "head level", doc="Alarm level, 0 to 9."),
    E("get_alarm_level", "QUIL_GetAlarmLevel", "head", "level"),
    E("able_start", "QUIL_AbleStart", "head", doc="Starts ABLE calibration on one head."),
    E("able_stop", "QUIL_AbleStop", doc="Stops ABLE calibration (every head)."),
    E("able_cancel", "QUIL_AbleCancel", doc="Cancels ABLE calibration (every head)."),
    E("set_reflection_mode", "QUIL_SetReflectionMode", "head mode", doc="Reflection mode, 0 or 1."),
    E("get_reflection_mode", "QUIL_GetReflectionMode", "head", "mode"),
    E(
        "set_mask",
        "QUIL_SetMask",
        "head on p1 p2",
        doc="Mask on/off and its positions in hundredths of the length unit.",
    ),
    E("get_mask", "QUIL_GetMask", "head", "on p1 p2"),
    E("set_median", "QUIL_SetMedian", "head median", doc="Median filter, 0 to 3."),
    E("get_median", "QUIL_GetMedian", "head", "median"),
    E("set_laser_ctrl_group", "QUIL_SetLaserCtrlGroup", "head group", doc="Laser control group, 0 or 1."),
    E("get_laser_ctrl_group", "QUIL_GetLaserCtrlGroup", "head", "group"),
    E(
        "set_interference_group",
        "QUIL_SetMutualInterferencePreventionGroup",
        "head group",
        doc="Mutual interference prevention group, 0 to 2.",
    ),
    E("get_interference_group", "QUIL_GetMutualInterferencePreventionGroup", "head", "group"),
]

# Output settings: OUT 1 to 8 (1 to 4 where the C function says so). Lengths
# are integers in the resolution of the OUT's display unit.
OUTPUT = [
    E(
        "set_tolerance",
        "QUIL_SetTolerance",
        "out upper lower hysteresis",
        doc="Tolerance limits and hysteresis of OUT1 to OUT4.",
    ),
    E("get_tolerance", "QUIL_GetTolerance", "out", "upper lower hysteresis"),
    E(
        "set_calc_method",
        "QUIL_SetCalcMethod",
        "out method number",
        doc="Calculation method 0 to 7 and its head or OUT number.",
    ),
    E("get_calc_method", "QUIL_GetCalcMethod", "out", "method number"),
    E("set_calc_target", "QUIL_SetCalcTarget", "out target", doc="Calculation target, 0 to 9."),
    E("get_calc_target", "QUIL_GetCalcTarget", "out", "target"),
    E(
        "set_out_add_sub",
        "QUIL_SetOutAddSub",
        "out first second",
        doc="The two OUTs (1 to 4) of an addition or subtraction.",
    ),
    E("get_out_add_sub", "QUIL_GetOutAddSub", "out", "first second"),
    E(
        "set_out_operation",
        "QUIL_SetOutOperation",
        "out mask",
        doc="OUTs taking part in the operation, a mask 1 to 15.",
    ),
    E("get_out_operation", "QUIL_GetOutOperation", "out", "mask"),
    E(
        "set_scaling",
        "QUIL_SetScaling",
        "out i1 o1 i2 o2",
        doc="Scaling by two points (input I1 to output O1, I2 to O2).",
    ),
    E("get_scaling", "QUIL_GetScaling", "out", "i1 o1 i2 o2"),
    E("set_filter", "QUIL_SetFilter", "out mode parameter", doc="Filter mode 0 (averaging), parameter 0 to 9."),
    E("get_filter", "QUIL_GetFilter", "out", "mode parameter"),
    E("set_trigger_mode", "QUIL_SetTriggerMode", "out mode", doc="Trigger mode, 0 or 1."),
    E("get_trigger_mode", "QUIL_GetTriggerMode", "out", "mode"),
    E("set_offset", "QUIL_SetOffset", "out offset", doc="Offset, a length."),
    E("get_offset", "QUIL_GetOffset", "out", "offset"),
    E("set_calc_mode", "QUIL_SetCalcMode", "out mode", doc="Calculation mode, 0 to 4."),
    E("get_calc_mode", "QUIL_GetCalcMode", "out", "mode"),
    E("set_display_unit", "QUIL_SetDisplayUnit", "out unit", doc="Display unit, 0 to 6: the unit of the OUT's values."),
    E("get_display_unit", "QUIL_GetDisplayUnit", "out", "unit"),
    E("set_synchronization", "QUIL_SetSynchronization", "out on", doc="Synchronization on or off."),
    E("get_synchronization", "QUIL_GetSynchronization", "out", "on"),
    E("set_storage_target", "QUIL_SetStorageTarget", "out on", doc="Whether the data storage records this OUT."),
    E("get_storage_target", "QUIL_GetStorageTarget", "out", "on"),
]

COMMON = [
    E("set_sampling_cycle", "QUIL_SetSamplingCycle", "cycle", doc="Sampling cycle, 30 to 37 or 10 to 15."),
    E("get_sampling_cycle", "QUIL_GetSamplingCycle", "", "cycle"),
    E(
        "set_interference_prevention",
        "QUIL_SetMutualInterferencePrevention",
        "mode",
        doc="Mutual interference prevention, 0 to 2.",
    ),
    E("get_interference_prevention", "QUIL_GetMutualInterferencePrevention", "", "mode"),
    E("set_strobe_time", "QUIL_SetStrobeTime", "index", doc="Strobe time index, 0 to 3."),
    E("get_strobe_time", "QUIL_GetStrobeTime", "", "index"),
    E(
        "set_data_storage",
        "QUIL_SetDataStorage",
        "points cycle",
        doc="Points to store (0 to 1,200,000) and storage cycle index (0 to 10).",
    ),
    E("get_data_storage", "QUIL_GetDataStorage", "", "points cycle"),
    E(
        "set_running_mode",
        "QUIL_SetRunningMode",
        "mode direction",
        doc="Running mode and count direction of the encoder input.",
    ),
    E(
        "set_encoder_mode",
        "QUIL_SetEncoderMode",
        "input_mode input_time_ns trigger_interval",
        doc="Encoder input mode, minimum input time in ns, trigger interval in points (1 to 10000).",
    ),
    E("get_num_of_used_heads", "QUIL_GetNumOfUsedHeads", "", "number"),
    E("get_num_of_used_out", "QUIL_GetNumOfUsedOut", "", "number"),
]

# Encoder inputs (channels 1 to 3), analog and digital outputs: models 34 to 39.
ENCODER_IO = [
    E(
        "get_encoder_value",
        "QUIL_GetEncoderCurrentValue",
        "channel",
        "value",
        doc="Current count of an encoder channel.",
    ),
    E("encoder_reset", "QUIL_EncoderReset", "channel", doc="Sets the count of an encoder channel to 0."),
    E("set_encoder_number", "QUIL_SetEncoderNumber", "number", doc="Selected encoder, 1 to 3."),
    E("get_encoder_number", "QUIL_GetEncoderNumber", "", "number"),
    E(
        "set_encoder_parameters",
        "QUIL_SetEncoderParameters",
        "channel input_mode input_time_ns interval operating_mode detection_direction",
        doc="Encoder parameters, written to all three channels alike.",
    ),
    E(
        "get_encoder_parameters",
        "QUIL_GetEncoderParameters",
        "channel",
        "input_mode input_time_ns interval operating_mode detection_direction",
    ),
    E(
        "set_analog_output",
        "QUIL_SetAnalogOutput",
        "channel output_channel",
        doc="Analog output channel, 0 to 3, of an encoder channel.",
    ),
    E("get_analog_output", "QUIL_GetAnalogOutputChannel", "channel", "output_channel"),
    E("set_digital_output", "QUIL_SetIODigitalOutput", "out level", doc="Level, 0 to 4, of digital output 1 to 4."),
    E("get_digital_output", "QUIL_GetIOOutputChannel", "out", "level"),
]

FAMILIES = {
    "session": SESSION,
    "control": CONTROL,
    "storage": STORAGE,
    "registers": REGISTERS,
    "head": HEAD,
    "output": OUTPUT,
    "common": COMMON,
    "encoder_io": ENCODER_IO,
}
