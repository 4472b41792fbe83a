// Stand-in for FusionStorage's management tool. It is started exactly like the real one (from
// its own folder, with its class path) and hands the work over to the simulator's native
// helper, passing its arguments unchanged and its exit status back.
//
// The helper is FCSIM_VRMVBSTOOLS_HELPER when set, else "fcsim_vrmvbstools" from PATH.

import java.util.ArrayList;
import java.util.List;

public class VrmVBSTools {
    public static void main(String[] args) throws Exception {
        String helper = System.getenv("FCSIM_VRMVBSTOOLS_HELPER");
        if (helper == null || helper.isEmpty()) {
            helper = "fcsim_vrmvbstools";
        }
        List<String> command = new ArrayList<>();
        command.add(helper);
        for (String arg : args) {
            command.add(arg);
        }
        ProcessBuilder builder = new ProcessBuilder(command);
        builder.inheritIO();
        builder.environment().put("FCSIM_VRM_CLASSPATH", System.getProperty("java.class.path"));
        int status;
        try {
            status = builder.start().waitFor();
        } catch (java.io.IOException e) {
            System.err.println("VrmVBSTools: cannot start " + helper + ": " + e.getMessage());
            status = 127;
        }
        System.exit(status);
    }
}
