-- Dvrlink host database, SQLite.
--
-- Tables for the DVR configurations, their cameras, the DVR alarms, the
-- host's alarm-video rows and its active alarms, and the stored procedures.
-- SQLite has no procedures of its own: each procedure is a row of
-- dvrlink_procedures (its SQL body, @Name parameters) with its declared
-- parameters in dvrlink_procedure_parameters. The provider binds every value
-- by name, converted to the declared type (INTEGER or TEXT); bodies read
-- date texts with dvr_datetime(), which the provider registers and which
-- fails the call for a text that is not a date.
--
-- Safe to run again: tables are created when missing, procedures replaced.
PRAGMA journal_mode = WAL;
BEGIN;

CREATE TABLE IF NOT EXISTS dvrlink_schema (
  version INTEGER NOT NULL
);
DELETE FROM dvrlink_schema;
INSERT INTO dvrlink_schema (version) VALUES (1);

CREATE TABLE IF NOT EXISTS dvr_config (
  id INTEGER NOT NULL PRIMARY KEY,
  ip TEXT NOT NULL UNIQUE,
  global_address_id TEXT NOT NULL,
  name TEXT NOT NULL DEFAULT ''
);

CREATE TABLE IF NOT EXISTS dvr_cameras (
  id INTEGER PRIMARY KEY,
  dvr_config_id INTEGER NOT NULL REFERENCES dvr_config (id) ON DELETE CASCADE,
  camera_index INTEGER NOT NULL CHECK (camera_index BETWEEN 0 AND 15),
  camera_name TEXT NOT NULL,
  global_address_id TEXT NOT NULL,
  UNIQUE (dvr_config_id, camera_index)
);

-- One row per alarm; the same alarm reported twice is a duplicate key.
CREATE TABLE IF NOT EXISTS dvr_alarms (
  id INTEGER PRIMARY KEY,
  dvr_config_id INTEGER NOT NULL,
  camera_name TEXT NOT NULL,
  start_time DATETIME NOT NULL,
  end_time DATETIME NOT NULL,
  frames INTEGER NOT NULL,
  alarm_type TEXT NOT NULL,
  recorded_at DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,
  UNIQUE (dvr_config_id, camera_name, start_time, alarm_type)
);

-- The host's alarm-video rows; the component stores each one's start time.
CREATE TABLE IF NOT EXISTS dvr_alarm_video (
  id INTEGER NOT NULL PRIMARY KEY,
  alarm_date_time DATETIME
) WITHOUT ROWID;

-- The host's active alarms, which confirm a host-raised alarm.
CREATE TABLE IF NOT EXISTS alarm_active (
  id INTEGER PRIMARY KEY,
  alarm_date_time DATETIME NOT NULL,
  event_code INTEGER,
  global_address_id TEXT,
  description TEXT
);
CREATE INDEX IF NOT EXISTS alarm_active_date ON alarm_active (alarm_date_time);

CREATE TABLE IF NOT EXISTS dvrlink_procedures (
  name TEXT NOT NULL PRIMARY KEY,
  body TEXT NOT NULL
);

CREATE TABLE IF NOT EXISTS dvrlink_procedure_parameters (
  procedure_name TEXT NOT NULL REFERENCES dvrlink_procedures (name) ON DELETE CASCADE,
  ordinal INTEGER NOT NULL,
  name TEXT NOT NULL,
  type TEXT NOT NULL CHECK (type IN ('INTEGER', 'TEXT')),
  direction TEXT NOT NULL DEFAULT 'IN' CHECK (direction IN ('IN', 'OUT', 'INOUT')),
  PRIMARY KEY (procedure_name, ordinal),
  UNIQUE (procedure_name, name)
);

DELETE FROM dvrlink_procedure_parameters WHERE procedure_name IN (
  'usp_AlarmActive_Select', 'usp_DVR_AlarmVideo_Update', 'usp_DVR_Alarms_Insert',
  'usp_DVR_Config_Select', 'usp_DVR_Cameras_Select',
  'usp_DVR_Config_Save', 'usp_DVR_Cameras_Save', 'usp_AlarmActive_Insert');
DELETE FROM dvrlink_procedures WHERE name IN (
  'usp_AlarmActive_Select', 'usp_DVR_AlarmVideo_Update', 'usp_DVR_Alarms_Insert',
  'usp_DVR_Config_Select', 'usp_DVR_Cameras_Select',
  'usp_DVR_Config_Save', 'usp_DVR_Cameras_Save', 'usp_AlarmActive_Insert');

-- Is the host-raised alarm of this date (YYYY/MM/DD hh:mm:ss) active yet?
INSERT INTO dvrlink_procedures (name, body) VALUES ('usp_AlarmActive_Select', '
SELECT id AS "ID", alarm_date_time AS "AlarmDateTime", event_code AS "EventCode",
       global_address_id AS "GlobalAddressID", description AS "Description"
FROM alarm_active
WHERE alarm_date_time = dvr_datetime(@dtDate)
ORDER BY id');
INSERT INTO dvrlink_procedure_parameters (procedure_name, ordinal, name, type) VALUES
  ('usp_AlarmActive_Select', 1, '@CmdIndex', 'INTEGER'),
  ('usp_AlarmActive_Select', 2, '@dtDate', 'TEXT');

-- Stores the start time of a host alarm-video row (creating the row when the
-- host has not).
INSERT INTO dvrlink_procedures (name, body) VALUES ('usp_DVR_AlarmVideo_Update', '
INSERT INTO dvr_alarm_video (id, alarm_date_time)
VALUES (@ID, dvr_datetime(@AlarmDateTime))
ON CONFLICT (id) DO UPDATE SET alarm_date_time = excluded.alarm_date_time');
INSERT INTO dvrlink_procedure_parameters (procedure_name, ordinal, name, type) VALUES
  ('usp_DVR_AlarmVideo_Update', 1, '@CmdIndex', 'INTEGER'),
  ('usp_DVR_AlarmVideo_Update', 2, '@ID', 'INTEGER'),
  ('usp_DVR_AlarmVideo_Update', 3, '@AlarmDateTime', 'TEXT');

-- Records a DVR alarm; the same alarm twice is a duplicate key.
INSERT INTO dvrlink_procedures (name, body) VALUES ('usp_DVR_Alarms_Insert', '
INSERT INTO dvr_alarms (dvr_config_id, camera_name, start_time, end_time, frames, alarm_type)
VALUES (@ID_DVR_Config, @CameraName, dvr_datetime(@StartTime), dvr_datetime(@EndTime), @Frames, @AlarmType)');
INSERT INTO dvrlink_procedure_parameters (procedure_name, ordinal, name, type) VALUES
  ('usp_DVR_Alarms_Insert', 1, '@CmdIndex', 'INTEGER'),
  ('usp_DVR_Alarms_Insert', 2, '@ID_DVR_Config', 'INTEGER'),
  ('usp_DVR_Alarms_Insert', 3, '@CameraName', 'TEXT'),
  ('usp_DVR_Alarms_Insert', 4, '@StartTime', 'TEXT'),
  ('usp_DVR_Alarms_Insert', 5, '@EndTime', 'TEXT'),
  ('usp_DVR_Alarms_Insert', 6, '@Frames', 'INTEGER'),
  ('usp_DVR_Alarms_Insert', 7, '@AlarmType', 'TEXT');

-- The DVR configuration of an address.
INSERT INTO dvrlink_procedures (name, body) VALUES ('usp_DVR_Config_Select', '
SELECT id AS "ID", ip AS "IP", global_address_id AS "GlobalAddressID", name AS "Name"
FROM dvr_config
WHERE ip = @IP');
INSERT INTO dvrlink_procedure_parameters (procedure_name, ordinal, name, type) VALUES
  ('usp_DVR_Config_Select', 1, '@CmdIndex', 'INTEGER'),
  ('usp_DVR_Config_Select', 2, '@IP', 'TEXT');

-- One camera of a DVR configuration.
INSERT INTO dvrlink_procedures (name, body) VALUES ('usp_DVR_Cameras_Select', '
SELECT id AS "ID", dvr_config_id AS "ID_DVR_Config", camera_index AS "CameraIndex",
       camera_name AS "CameraName", global_address_id AS "GlobalAddressID"
FROM dvr_cameras
WHERE dvr_config_id = @ID_DVR_Config AND camera_index = @CameraIndex');
INSERT INTO dvrlink_procedure_parameters (procedure_name, ordinal, name, type) VALUES
  ('usp_DVR_Cameras_Select', 1, '@CmdIndex', 'INTEGER'),
  ('usp_DVR_Cameras_Select', 2, '@ID_DVR_Config', 'INTEGER'),
  ('usp_DVR_Cameras_Select', 3, '@CameraIndex', 'INTEGER');

-- Host side (dvrlink-db seeding): creates or updates a DVR configuration.
INSERT INTO dvrlink_procedures (name, body) VALUES ('usp_DVR_Config_Save', '
INSERT INTO dvr_config (id, ip, global_address_id, name)
VALUES (@ID, @IP, @GlobalAddressID, coalesce(@Name, ''''))
ON CONFLICT (id) DO UPDATE SET ip = excluded.ip, global_address_id = excluded.global_address_id,
                               name = excluded.name');
INSERT INTO dvrlink_procedure_parameters (procedure_name, ordinal, name, type) VALUES
  ('usp_DVR_Config_Save', 1, '@CmdIndex', 'INTEGER'),
  ('usp_DVR_Config_Save', 2, '@ID', 'INTEGER'),
  ('usp_DVR_Config_Save', 3, '@IP', 'TEXT'),
  ('usp_DVR_Config_Save', 4, '@GlobalAddressID', 'TEXT'),
  ('usp_DVR_Config_Save', 5, '@Name', 'TEXT');

-- Host side (dvrlink-db seeding): creates or updates one camera of a DVR.
INSERT INTO dvrlink_procedures (name, body) VALUES ('usp_DVR_Cameras_Save', '
INSERT INTO dvr_cameras (dvr_config_id, camera_index, camera_name, global_address_id)
VALUES (@ID_DVR_Config, @CameraIndex, @CameraName, @GlobalAddressID)
ON CONFLICT (dvr_config_id, camera_index) DO UPDATE SET camera_name = excluded.camera_name,
                                                        global_address_id = excluded.global_address_id');
INSERT INTO dvrlink_procedure_parameters (procedure_name, ordinal, name, type) VALUES
  ('usp_DVR_Cameras_Save', 1, '@CmdIndex', 'INTEGER'),
  ('usp_DVR_Cameras_Save', 2, '@ID_DVR_Config', 'INTEGER'),
  ('usp_DVR_Cameras_Save', 3, '@CameraIndex', 'INTEGER'),
  ('usp_DVR_Cameras_Save', 4, '@CameraName', 'TEXT'),
  ('usp_DVR_Cameras_Save', 5, '@GlobalAddressID', 'TEXT');

-- Host side (the service's host sink): records a host-raised alarm as active.
INSERT INTO dvrlink_procedures (name, body) VALUES ('usp_AlarmActive_Insert', '
INSERT INTO alarm_active (alarm_date_time, event_code, global_address_id, description)
VALUES (dvr_datetime(@dtDate), @EventCode, @GlobalAddressID, @Description)');
INSERT INTO dvrlink_procedure_parameters (procedure_name, ordinal, name, type) VALUES
  ('usp_AlarmActive_Insert', 1, '@CmdIndex', 'INTEGER'),
  ('usp_AlarmActive_Insert', 2, '@dtDate', 'TEXT'),
  ('usp_AlarmActive_Insert', 3, '@EventCode', 'INTEGER'),
  ('usp_AlarmActive_Insert', 4, '@GlobalAddressID', 'TEXT'),
  ('usp_AlarmActive_Insert', 5, '@Description', 'TEXT');

COMMIT;
