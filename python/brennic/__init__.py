"""Python client of the brennic file-writing service: the class ``hdf5`` and its errors.

    from brennic import hdf5
    with hdf5.open("/data/scan1/master.h5") as f:
        f.create_dataset_map({"entry": {"title": "scan 1"}})
"""
from .client import Compressed, LocalSlot, ServiceError, hdf5
from .config import Config, read_config, read_curve_certificate
from .follow import follow

__all__ = ["hdf5", "ServiceError", "LocalSlot", "Compressed", "Config", "read_config", "read_curve_certificate",
           "follow"]
__version__ = "0.1.0"
