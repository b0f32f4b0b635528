import sys

from vorn_metrics_plugin.mra.risk_eval import main

sys.exit(main())
